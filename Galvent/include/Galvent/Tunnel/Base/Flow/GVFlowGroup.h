#pragma once
// One set of candidate entrances and exits carrying one class of game traffic: probes every
// entrance (type 500) and every entrance-exit pair (type 300), keeps the best pair, wraps
// outgoing packets into type-400 frames towards it and keeps a 2-second heartbeat.
//
// Threads: resolve rounds, detect waves and scoring run on the main queue; the heartbeat timer and
// heartbeat answers on the process queue; inputPacket on the caller's (packet) thread; socket reads
// and 401 delivery on the packet loop. Timers use the dispatch clock installed when the group is
// made.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "Galvent/Models/GVEntranceExit.h"
#include "Galvent/Tunnel/Base/Flow/GVFlowGroupDelegate.h"
#include "Galvent/Tunnel/Base/Flow/GVResolveResultItem.h"
#include "Galvent/Tunnel/Base/Flow/Q5DetectItem.h"
#include "Galvent/Tunnel/Base/Flow/Q5HeartBeatItem.h"
#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Mazzle/MZSpeedUDPSocket.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Timer.h"

class GVFlowGroup : public MZSpeedUDPSocketDelegate,
                    public std::enable_shared_from_this<GVFlowGroup> {
 public:
  enum Status : int64_t {
    kStatusFailed = -1,
    kStatusStopped = 0,
    kStatusResolving = 1,
    kStatusScoring = 2,
    kStatusResolved = 3,
    kStatusRunning = 4,
    kStatusHeartbeatLost = 5,
  };

  static constexpr double kDefaultHeartBeatCount = 4.0;
  static constexpr double kDefaultResolveDuration = 5.0;
  // Heartbeats sent without an answer before the group resolves again.
  static constexpr int64_t kHeartbeatLossLimit = 4;
  // Delay recorded for a heartbeat answer older than the last heartbeat sent.
  static constexpr int32_t kOlderHeartbeatDelay = 3000;

  // Use GVFlowGroupManager::flowGroupWithEntrances; public for make_shared and tests.
  GVFlowGroup(std::vector<GVEntrance> entrances, std::vector<GVExit> exits, int64_t flowLevel,
              int64_t flowId, uint16_t rx, uint16_t tx, std::string groupName);
  ~GVFlowGroup() override;
  GVFlowGroup(const GVFlowGroup&) = delete;
  GVFlowGroup& operator=(const GVFlowGroup&) = delete;

  // Seeds the random port choice of every group (tests); unseeded groups use a random seed.
  static void setRandomSeed(uint32_t seed);

  void setDelegate(std::weak_ptr<GVFlowGroupDelegate> delegate);
  std::shared_ptr<GVFlowGroupDelegate> delegate() const;

  uint64_t groupKeyId() const { return groupKeyId_; }
  void setGroupKeyId(uint64_t key) { groupKeyId_ = key; }
  int64_t flowId() const { return flowId_; }
  const std::string& groupName() const { return groupName_; }
  int64_t flowLevel() const { return flowLevel_; }
  uint16_t rx() const { return rx_; }
  uint16_t tx() const { return tx_; }
  int64_t status() const { return status_.load(); }

  int32_t heartbeatDelay() const { return heartbeatDelay_.load(); }
  uint64_t heartbeatSent() const { return heartbeatSent_.load(); }
  uint64_t heartbeatRecived() const { return heartbeatRecived_.load(); }

  std::vector<GVEntrance> entrances() const;
  // New candidate entrances; the next resolve uses them.
  void setEntrances(std::vector<GVEntrance> entrances);
  const std::vector<GVExit>& exits() const { return exits_; }

  // The chosen pair; nothing before the first successful scoring.
  std::optional<GVEntrance> resolveEntrance() const;
  std::optional<GVExit> resolveExit() const;
  // Port of the chosen socket's entrance (0 without one).
  uint16_t socketPort() const;

  std::optional<int64_t> ruleId() const;
  void setRuleId(int64_t id);
  std::vector<int64_t> ruleIds() const;
  void addRuleId(int64_t id);

  double heartBeatCount() const { return heartBeatCount_; }
  double resolveDuration() const { return resolveDuration_; }

  // Main queue. Opens one socket per entrance and schedules probe rounds (+1.0 s), detect waves
  // (+1.00 s, +1.03 s) and scoring (+resolveDuration). Any earlier resolve's pending work is void.
  void startResolving();
  // Main queue; normally run by the scheduled scoring.
  void finishResolving();
  // Status 0, sockets closed, pending resolve work void.
  void stop();

  // Wraps one outgoing IP packet into a type-400 frame on the chosen socket. True when a frame
  // was built and handed to the socket; false in statuses 0, 1, 2, -1 or without a socket.
  bool inputPacket(std::span<const uint8_t> packet);

  // Socket delegate: hands the datagram to processRespData.
  void didReceiveData(std::span<const uint8_t> data, const std::string& from,
                      MZSpeedUDPSocket& socket) override;
  // One received datagram of any length and type (packet loop, or any thread in tests).
  void processRespData(std::span<const uint8_t> data);

  // Process queue.
  void startHeartBeat();
  void stopHeartBeat();
  void doHeartBeat();

  static std::string keyForEntrance(const GVEntrance& entrance, const GVExit& exit);

  // Snapshots for logs and tests (main queue).
  std::map<int64_t, Q5HeartBeatItem> heartBeatResultMap() const;
  std::map<std::string, Q5DetectItem> BDetectResultMap() const;
  std::vector<std::string> socketHosts() const;
  // Local port of the socket to `ip` of the current resolve (0 when none), for tests.
  uint16_t localPortForEntrance(const std::string& ip) const;
  int64_t timeoutHeartBeatCounter() const;
  int64_t timeoutHeartBeatId() const;

  std::string description() const;

 private:
  // What inputPacket needs, replaced as one piece at scoring.
  struct Path {
    std::shared_ptr<MZSpeedUDPSocket> socket;
    GVEntrance entrance;
    GVExit exit;
    // Frame header of this path; nothing when the exit has no NAT address.
    std::optional<Q5Protocol::IPPacketHeader> header;
  };

  void setStatus(int64_t status);
  void statusChanged(int64_t old, int64_t status);
  double now() const;
  void probeRound(uint64_t generation, int64_t round);
  void detectWave(uint64_t generation);
  // The probe socket of an entrance, or null once it is gone.
  std::shared_ptr<MZSpeedUDPSocket> socketFor(const std::string& ip) const;
  void scoreIfCurrent(uint64_t generation);
  void handleDetectAnswer(std::vector<uint8_t> body, uint64_t generation);
  void handleProbeAnswer(std::string text, double stamp, uint64_t generation);
  void handleHeartbeatAnswer(std::string text, double stamp);
  void closeSockets(const std::shared_ptr<MZSpeedUDPSocket>& keep);
  std::shared_ptr<const Path> path() const;

  std::weak_ptr<GVFlowGroupDelegate> delegate_;
  mutable std::mutex delegateMutex_;
  uint64_t groupKeyId_ = 0;
  const int64_t flowId_;
  const std::string groupName_;
  const int64_t flowLevel_;
  const uint16_t rx_, tx_;
  std::atomic<int64_t> status_{kStatusStopped};
  std::atomic<int32_t> heartbeatDelay_{0};
  std::atomic<uint64_t> heartbeatSent_{0};
  std::atomic<uint64_t> heartbeatRecived_{0};

  mutable std::mutex entrancesMutex_;
  std::vector<GVEntrance> entrances_;
  const std::vector<GVExit> exits_;

  mutable std::mutex ruleMutex_;
  std::optional<int64_t> ruleId_;
  std::vector<int64_t> ruleIds_;

  const double heartBeatCount_ = kDefaultHeartBeatCount;
  const double resolveDuration_ = kDefaultResolveDuration;

  platform::dispatch::ClockPtr clock_;
  // Bumped by every resolve and by stop: scheduled work of an older generation does nothing.
  std::atomic<uint64_t> generation_{0};

  // Main queue only.
  std::vector<GVEntrance> resolvingEntrances_;
  int64_t probeNumber_ = 0;
  std::map<int64_t, Q5HeartBeatItem> heartBeatResultMap_;
  std::map<std::string, std::shared_ptr<MZSpeedUDPSocket>> socketMap_;
  std::vector<platform::dispatch::Timer> resolveTimers_;
  mutable std::mutex detectMutex_;
  std::map<std::string, Q5DetectItem> BDetectResultMap_;
  mutable std::mutex socketMapMutex_;  // socketMap_ is read by tests from other threads

  // The chosen path, replaced at scoring and dropped by stop.
  mutable std::mutex pathMutex_;
  std::shared_ptr<const Path> path_;

  // Process queue only (counters are atomics so tests can read them).
  std::atomic<int64_t> timeoutHeartBeatCounter_{0};
  std::atomic<int64_t> timeoutHeartBeatId_{0};
  double lastHeartBeatStamp_ = 0;
  platform::dispatch::Timer timer_;
};
