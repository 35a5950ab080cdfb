#pragma once
// One tunnel run of galvent-tunnel: the control socket, the TUN device, the provider and the
// settings, on an asio loop that is the process's main queue.

#include <sys/types.h>

// Standard headers ahead of asio: asio picks its handler allocator (aligned_alloc or new) from
// libstdc++'s configuration, and every translation unit of the process must pick the same one.
// clang-format off
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
// clang-format on

#include "Galvent/Tunnel/Provider/GVPacketTunnelProvider.h"
#include "Guardian.h"
#include "platform/netext/ControlMessage.h"
#include "platform/netext/DnsConfigurator.h"

struct TunnelDaemonConfig {
  std::string control;
  uid_t ownerUid = 0;
  std::filesystem::path containerRoot;
  std::filesystem::path resources;
  uint32_t mark = 0x47560001;  // outside the traffic filter's own 0x3550xxxx marks
  uint32_t table = 5160;
  std::optional<platform::netext::DnsConfigurator::Mode> dnsMode;  // unset: detect
  std::string logHost;
  std::optional<std::chrono::seconds> tcpIdleLimit;  // unset: the stack's own

  // Parses the command line; nothing with a message in error when it is not usable.
  static std::optional<TunnelDaemonConfig> fromArguments(int argc, char** argv, std::string& error);
};

class TunnelDaemon {
 public:
  explicit TunnelDaemon(TunnelDaemonConfig config);
  ~TunnelDaemon();
  // Runs until the tunnel has stopped; the process exit status.
  int run();

 private:
  struct Peer {
    std::shared_ptr<asio::posix::stream_descriptor> socket;
  };
  void acceptNext();
  void readNext(std::shared_ptr<asio::posix::stream_descriptor> peer);
  void handle(const std::shared_ptr<asio::posix::stream_descriptor>& peer,
              const platform::netext::ControlRequest& request);
  void send(const std::shared_ptr<asio::posix::stream_descriptor>& peer,
            const platform::netext::DaemonMessage& message);
  void broadcastStatus();
  void setStatus(platform::netext::VpnStatus status,
                 std::optional<platform::netext::ControlError> error = {});
  void start(const nlohmann::json& options);
  void stop(int64_t reason);
  // Undoes settings and closes the TUN; then the loop ends with exitCode.
  void finish(int exitCode);

  TunnelDaemonConfig config_;
  platform::netext::DnsConfigurator::Mode dnsMode_ = platform::netext::DnsConfigurator::Mode::None;
  Guardian guardian_;
  asio::io_context io_;
  std::unique_ptr<asio::posix::stream_descriptor> listener_;
  // The control socket file this run bound; only that is removed at the end.
  std::optional<std::pair<dev_t, ino_t>> boundControl_;
  asio::signal_set signals_;
  std::list<std::shared_ptr<asio::posix::stream_descriptor>> peers_;
  std::shared_ptr<GVPacketTunnelProvider> provider_;
  std::shared_ptr<platform::netext::PacketFlow> flow_;
  platform::netext::VpnStatus status_ = platform::netext::VpnStatus::Disconnected;
  std::optional<platform::netext::ControlError> lastError_;
  bool started_ = false;
  bool finishing_ = false;
  int exitCode_ = 0;
};
