// What the failover tests and the failover benchmark share: the filter suite's namespaces with a
// second entrance address on the relay and its runtime control, the test game's echo stream, the
// tunnel daemon in either variant, and readings of the relay's records.
//
//   cli  the game stream, the tunnel daemon (or tamseld), the service stand-ins
//   ent  the relay, serving entrance A (198.51.100.254) and entrance B (198.51.100.253)
//   srv  the echo server the game talks to
//
// A answers path probes faster than B, so both modes choose A first.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Scene.h"
#include "platform/netext/ControlSocket.h"
#include "systest/Systest.h"

namespace failover {

inline constexpr char kEntranceA[] = "198.51.100.254";  // tsl::kEntranceIP
inline constexpr char kEntranceB[] = "198.51.100.253";
inline constexpr char kExitNat[] = "203.0.113.200";
inline constexpr int kGameFlowLevel = 2;

// The tunnel engine's own timers: a heartbeat every 2 s, a new resolve once 4 went unanswered,
// and 5 s from the start of a resolve to its scoring.
inline constexpr std::chrono::milliseconds kHeartbeatInterval{2000};
inline constexpr int kHeartbeatLossLimit = 4;
inline constexpr std::chrono::milliseconds kResolveDuration{5000};
// The least time a game is cut off in tunnel mode before it runs through the other entrance.
inline constexpr std::chrono::milliseconds kTunnelFloor =
    kHeartbeatInterval * kHeartbeatLossLimit + kResolveDuration;

std::string pairOf(const std::string& ip);  // "ip:4400"
std::string echoTarget();                   // the UDP echo the game streams to
int64_t nowMs();                            // CLOCK_MONOTONIC, as the relay and the game print it

// The scene's options: both entrances, the relay's control, A's paths faster than B's.
tsl::SceneOptions sceneOptions(bool quiet = false);

// Relay control: "ok" or the relay's error.
std::string setEntrance(const tsl::Scene& scene, const std::string& ip, const std::string& names);

// The test game streaming its echo from cli (one datagram every 20 ms).
class Stream {
 public:
  struct Gap {
    int64_t ms = 0, from = 0, to = 0;
  };
  bool start(const tsl::Scene& scene, std::chrono::milliseconds limit);
  bool waitFirstAnswer(std::chrono::milliseconds timeout);
  // The first silence longer than the game's gap threshold that ended after `afterMs`.
  std::optional<Gap> waitGapEndingAfter(int64_t afterMs, std::chrono::milliseconds timeout);
  std::vector<Gap> gaps() const;
  // Ends it; its whole output.
  std::string stop();
  std::string log() const { return process_.log(); }
  bool running() { return process_.running(); }

 private:
  systest::Process process_;
};

enum class Variant { Line, Game };
const char* nameOf(Variant v);

// Service stand-ins of both variants, in the namespace of the thread that starts them.
struct Services {
  Services();
  ~Services();
  bool start();
  std::string accountHost() const;
  std::string gameAddress() const;
  struct Impl;
  std::unique_ptr<Impl> impl;
  // The best entrance of each path report of the game's rule so far, oldest first.
  std::vector<std::string> reportedBestEntrances() const;
};

// galvent-tunnel in cli, started over its control socket as the app does.
class Tunnel {
 public:
  explicit Tunnel(const tsl::Scene& scene) : scene_(scene) {}
  ~Tunnel();
  // "" once the daemon says the tunnel is connected, else why not.
  std::string start(Variant v, const Services& services);
  // Status messages received since the start (drains the control socket).
  std::vector<platform::netext::VpnStatus> statuses();
  // Stops it: the daemon's exit code.
  std::optional<int> stop();
  std::string log() const { return daemon_.log(); }

 private:
  const tsl::Scene& scene_;
  std::unique_ptr<systest::TempDir> dir_;
  systest::Process daemon_;
  platform::netext::ControlClient control_;
  std::vector<platform::netext::VpnStatus> statuses_;
};

// Frames of the relay on one entrance of the game's stream (by the echo server's address).
struct Traffic {
  size_t framesIn = 0;                    // 400 frames of the game's echo that reached the entrance
  size_t answersOut = 0;                  // 401 answers it sent back
  size_t probesIn = 0;                    // type-500 resolve probes (not heartbeats)
  size_t heartbeatsIn = 0;                // type-500 heartbeats ("__N")
  size_t detectsIn = 0;                   // type-300 path probes
  int64_t first400 = 0, firstAnswer = 0;  // times of the first 400 and 401 (0 when none)
};
Traffic trafficOn(const std::vector<tsl::RelayFrame>& frames, const std::string& entranceIP,
                  int64_t sinceMs);
// The time of the relay's "switch NAMES" record on that entrance at or after sinceMs (0: none).
int64_t switchedAt(const std::vector<tsl::RelayFrame>& frames, const std::string& entranceIP,
                   const std::string& names, int64_t sinceMs = 0);

}  // namespace failover
