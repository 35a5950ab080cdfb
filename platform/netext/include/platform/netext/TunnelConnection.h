#pragma once
// The application's end of one tunnel configuration: starts the tunnel daemon when none runs,
// talks to it over its control socket (ControlMessage.h), and publishes its status.
//
// Status numbers: 1 while no daemon answers; 2 from launch until the daemon reports 3; 4 while it
// reasserts; 5 while it stops; 1 again once it is gone (with its error when it sent one). Each
// change is published on the main queue, followed by NEVPNStatusDidChangeNotification.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/auth/Authorization.h"
#include "platform/netext/ControlMessage.h"
#include "platform/netext/VpnStatus.h"

namespace platform::netext {

// How the daemon is started: program and arguments; an error when it could not be started.
using TunnelLauncher = std::function<std::optional<ControlError>(
    const std::string& program, const std::vector<std::string>& arguments)>;

struct TunnelLaunchSettings {
  std::string program;                      // empty: "galvent-tunnel" beside the running executable
  std::string containerRoot;                // empty: $XDG_DATA_HOME (or ~/.local/share)
  std::string resources;                    // empty: the folder of the running executable
  uid_t ownerUid = static_cast<uid_t>(-1);  // -1: the real uid of this process
  TunnelLauncher launcher;                  // empty: the default launcher (below)
  // The daemon's own flags; unset or empty: the daemon's defaults.
  std::optional<uint32_t> mark;   // --mark: the mark of the daemon's sockets
  std::optional<uint32_t> table;  // --table: its routing table
  std::string dnsConfig;          // --dns-config: resolved, resolv.conf or none
  std::string logHost;            // --log-host: where the game variant uploads its log
  // How long to wait for a started daemon's socket, and for answers to requests.
  std::chrono::milliseconds launchTimeout{15000};
  std::chrono::milliseconds answerTimeout{5000};
};

// Checks that `program` is a regular file owned by root and writable by nobody else.
std::optional<ControlError> checkDaemonProgram(const std::string& program);

// A launcher on platform/auth: refuses a program that fails checkDaemonProgram; starts it
// directly with a scrubbed environment when this process is root, else through one elevation of
// the privileged runner, which checks the program again as root. The daemon is detached (not a
// child to be reaped by the caller); the rights end once it runs.
TunnelLauncher authorizedTunnelLauncher(platform::auth::Options options);

// authorizedTunnelLauncher with the default options (pkexec, the runner beside this program).
std::optional<ControlError> defaultTunnelLauncher(const std::string& program,
                                                  const std::vector<std::string>& arguments);

// Installs the launcher used when settings name none (an app may route launches through its
// privileged runner); nullptr restores the default.
void setDefaultTunnelLauncher(TunnelLauncher launcher);

// The fixed control socket of a provider: /run/galvent/<id>.sock, or under $GALVENT_RUN_DIR.
// Nothing for an identifier that is not one plain path component.
std::optional<std::string> controlSocketPath(const std::string& providerBundleIdentifier);

class TunnelConnection : public std::enable_shared_from_this<TunnelConnection> {
 public:
  using ReplyHandler = std::function<void(std::string data)>;

  explicit TunnelConnection(std::string providerBundleIdentifier,
                            TunnelLaunchSettings settings = {});
  ~TunnelConnection();
  TunnelConnection(const TunnelConnection&) = delete;
  TunnelConnection& operator=(const TunnelConnection&) = delete;

  // Starts the tunnel with these start options (a JSON object). Launches the daemon when none
  // answers. Succeeds once the daemon accepted "start"; later failures arrive as status 1.
  std::optional<ControlError> startVPNTunnel(const nlohmann::json& options);
  // Publishes "connecting" (2) ahead of a start that runs on another queue.
  void announceConnecting();
  // Asks the daemon to stop (reason 1, by the user). Nothing to do without a daemon.
  void stopVPNTunnel();
  // The published status (main queue).
  VpnStatus status() const { return static_cast<VpnStatus>(status_.load()); }
  // The error the daemon reported with its last status, if any.
  std::optional<ControlError> lastError() const;
  // Sends a provider message; `reply` runs on the main queue with the answer, or with empty data
  // at once when no daemon runs or the daemon answers null.
  void sendProviderMessage(const std::string& data, ReplyHandler reply);

  // Connects to a running daemon, if any, and reads its status before returning (bounded by the
  // answer timeout). Publishes what it found. True when a daemon answered.
  bool refreshStatus();

  const std::string& providerBundleIdentifier() const { return provider_; }
  void setLaunchSettings(TunnelLaunchSettings settings);

 private:
  bool connectLocked(std::unique_lock<std::mutex>& lock);
  void readerLoop(int fd);
  void closeConnection();
  void publish(VpnStatus status);
  std::optional<ControlError> launch(const std::string& socketPath);
  std::optional<ControlError> startWatched(const std::string& socketPath,
                                           const nlohmann::json& options, uint64_t errorsSeen);

  const std::string provider_;
  TunnelLaunchSettings settings_;
  std::atomic<int> status_{static_cast<int>(VpnStatus::Disconnected)};

  mutable std::mutex mu_;
  std::condition_variable cv_;
  int fd_ = -1;
  bool readerRunning_ = false;
  std::thread reader_;
  // What the reader has seen of the daemon, for the synchronous waits.
  uint64_t statusEvents_ = 0;
  uint64_t errorMessages_ = 0;
  VpnStatus daemonStatus_ = VpnStatus::Disconnected;
  std::optional<ControlError> daemonError_;
  std::optional<ControlError> lastRefusal_;
  bool watching_ = false;
  std::optional<VpnStatus> firstStatus_;
  std::deque<ReplyHandler> pendingReplies_;
  std::optional<ControlError> publishedError_;
};

}  // namespace platform::netext
