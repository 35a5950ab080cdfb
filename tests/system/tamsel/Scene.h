// The three namespaces of the filter's whole-system tests and what runs in them:
//   cli  tamseld (loaded by zandrel), the games, a DNS stub on 127.0.0.53
//   ent  the stand-in relay (the entrance), routing between cli and srv
//   srv  echo servers and DNS servers, reached tunnelled (from the relay) or direct
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "systest/Systest.h"

namespace tsl {

// The older service's rule-list answer that lists tslgame's UDP echo in flow `flowId`, through the
// scene's entrance, its exit NAT address 203.0.113.200.
nlohmann::json gameRuleList(int flowId);

// Addresses (TEST-NET only, and only inside the namespaces).
inline constexpr char kClientIP[] = "198.51.100.1";
inline constexpr char kEntranceIP[] = "198.51.100.254";
inline constexpr int kEntrancePort = 4400;
inline constexpr char kRelayOutIP[] = "203.0.113.254";  // where tunnelled traffic leaves ent
inline constexpr char kRelayTunNet[] = "192.0.2.1/24";  // the relay's TUN device (TCP, ICMP)
inline constexpr char kEchoIP[] = "203.0.113.10";       // echo reached by listed games
inline constexpr char kLearntIP[] = "203.0.113.20";     // echo named by the DNS answer
inline constexpr char kAskedDNS[] = "203.0.113.53";     // resolver the game asks
inline constexpr char kRuleDNS[] = "203.0.113.54";      // resolver a DNS rule names
inline constexpr char kNxDNS[] = "203.0.113.55";        // resolver that knows nothing
inline constexpr char kStubDNS[] = "127.0.0.53";        // local stub inside cli
inline constexpr int kUdpEchoPort = 7000;
inline constexpr int kTcpEchoPort = 7001;
inline constexpr int kOtherUdpEchoPort = 7002;

// One frame of the relay's record file.
struct RelayFrame {
  bool incoming = false;
  uint32_t type = 0;
  uint32_t lengthField = 0;
  size_t size = 0;
  std::vector<uint8_t> body;
  std::string note;
  std::string peer;
  std::string local;   // the relay's pair, "ip:port"
  int64_t timeMs = 0;  // CLOCK_MONOTONIC milliseconds
  // The relay's own reading of a 400 header, when it gives one.
  bool decoded = false;
  uint32_t exit = 0, rx = 0, tx = 0, flowId = 0, level = 0;
  std::string nat;
};

// The inner IPv4 packet of a 400 frame (after its 33-byte header) or of a 401 frame.
struct Inner {
  uint8_t protocol = 0;
  std::string src, dst;
  uint16_t srcPort = 0, dstPort = 0;  // ICMP: identifier in srcPort
  std::vector<uint8_t> payload;       // UDP/TCP/ICMP payload
  std::vector<uint8_t> packet;        // the whole IPv4 packet
};
std::optional<Inner> innerOf(const RelayFrame& f);
// The IPv4 header checksum and the ICMP, TCP or UDP checksum of a packet are right.
bool checksumsRight(const std::vector<uint8_t>& packet);

struct SceneOptions {
  // No relay record and no server log lines (for measurements).
  bool quiet = false;
  // More entrance addresses in ent, each served by the relay on kEntrancePort.
  std::vector<std::string> moreEntrances;
  // Given to the relay as they are ("--detect", ...).
  std::vector<std::string> relayArgs;
  // The relay takes switch changes on a control socket (relayControl).
  bool relayControl = false;
};

class Scene {
 public:
  Scene();
  ~Scene();
  // Builds everything up to a running relay and servers; false with the reason.
  bool setUp(std::string* why, bool quiet = false);
  bool setUp(std::string* why, const SceneOptions& options);
  // Before setUp: zandrel and tamseld from `dir` instead of this build's (for comparisons).
  void setDaemonDir(const std::string& dir) { daemonDir_ = dir; }
  // Before setUp: an installation's loader and filter used where they are (`dir` is its
  // libexec/gelmora/, root-owned, as the loader demands), with the filter's run folder `runDir`
  // (the one the installation uses: an ordinary user's filter runs in /run/tamsel). Nothing is
  // copied; load(), unload() and tamseldPid() go there.
  void useInstalledDaemons(const std::string& dir, const std::string& runDir) {
    installedDir_ = dir;
    installedRunDir_ = runDir;
  }

  // zandrel load / unload inside cli; the exit code.
  int load();
  int unload();
  // tamseld started as zandrel starts it for a caller of `uid` (the filter serves that user),
  // without zandrel; 0 once it runs. unload() stops it.
  int loadFor(uid_t uid);
  std::string runDir() const { return runDir_; }
  std::optional<int> tamseldPid() const;
  // The daemon's answer to an admin command ("stats", "stop").
  std::string admin(const std::string& cmd) const;

  // A game run to its end (bounded); its exit code and output.
  // Where the test games are.
  static std::string gameDir();
  // As `uid` when given.
  systest::Result game(const std::string& name, const std::vector<std::string>& args,
                       uid_t uid = static_cast<uid_t>(-1)) const;
  // A game left running (for --pause).
  systest::Process startGame(const std::string& name, const std::vector<std::string>& args,
                             uid_t uid = static_cast<uid_t>(-1)) const;

  std::vector<RelayFrame> relayFrames() const;
  // One line to the relay's control socket ("switch IP:PORT=silent"); its answer, "" when none.
  std::string relayControl(const std::string& line) const;
  std::string serverLog() const { return servers_.log(); }
  std::string stubLog() const { return stub_.log(); }

  const systest::Netns& cli() const { return *cli_; }
  const systest::Netns& ent() const { return *ent_; }
  const systest::Netns& srv() const { return *srv_; }

 private:
  std::unique_ptr<systest::TempDir> dir_;
  std::unique_ptr<systest::Netns> cli_, ent_, srv_;
  std::string binDir_, runDir_, recordFile_, controlPath_, daemonDir_;
  std::string installedDir_, installedRunDir_;
  systest::Process relay_, servers_, stub_, daemon_;
};

// Lines of `log` that contain `needle`.
size_t countLines(const std::string& log, const std::string& needle);

}  // namespace tsl
