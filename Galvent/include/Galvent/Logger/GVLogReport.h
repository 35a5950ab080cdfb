#pragma once
// Collects log lines and uploads them, scrambled, over TCP from a thread of its own: at most one
// batch every 20 s, repeated traffic dictionaries suppressed for about five minutes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "platform/dispatch/Clock.h"

class GVLogReport {
 public:
  // Lines kept in memory at most; older ones are dropped first.
  static constexpr size_t kMaxBacklog = 10000;
  static constexpr std::chrono::seconds kPassInterval{20};
  static constexpr std::chrono::seconds kPacketCacheClear{300};
  static constexpr std::chrono::seconds kMaxReconnectDelay{300};
  // Log host port of the game variant, which also serves newUploadStream.
  static constexpr uint16_t kDefaultLogPort = 10001;

  // The process's instance; creating it starts the upload thread on the default clock.
  static GVLogReport& sharedLogReport();

  // A separate instance (tests): its thread waits on `clock`.
  explicit GVLogReport(platform::dispatch::ClockPtr clock);
  // Stops the thread; lines not yet sent are dropped.
  ~GVLogReport();
  GVLogReport(const GVLogReport&) = delete;
  GVLogReport& operator=(const GVLogReport&) = delete;

  // Queues one line, unless disabled.
  void appendLog(std::string line);
  // Queues the dictionary as compact JSON with "time" and "@TimeStamp" added, unless an equal
  // dictionary went out since the last clear.
  void appendTrafficInfo(const nlohmann::json& dict);
  // Makes host:port the upload target; the thread connects (and reconnects) to it.
  void setUploadStreamWithHost(const std::string& host, uint16_t port);
  // Target at the default log host (the deployment's; empty when not configured).
  void newUploadStream();
  static void setDefaultLogHost(std::string host);

  void setDisableLog(bool disable);
  bool disableLog() const;
  const std::string& serverAddr() const { return serverAddr_; }
  void setServerAddr(std::string addr) { serverAddr_ = std::move(addr); }

  // For tests: passes the thread has finished, lines waiting, whether the thread has ended.
  uint64_t passes() const;
  bool waitForPasses(uint64_t count, std::chrono::milliseconds realTimeout) const;
  size_t backlog() const;
  bool threadEnded() const;
  // Unix time source of the traffic lines.
  void setUnixTime(std::function<int64_t()> now);

 private:
  struct Connection;
  void run();
  bool sleepPass();
  void takeLines();
  void upload();

  platform::dispatch::ClockPtr clock_;
  std::string serverAddr_;

  mutable std::mutex mutex_;  // the condition's lock: cachedLogs_, target, flags
  mutable std::condition_variable cond_;
  std::deque<std::string> cachedLogs_;
  bool disableLog_ = false;
  bool stopping_ = false;
  bool timerFired_ = false;
  bool ended_ = false;
  bool droppedWarned_ = false;
  uint64_t passes_ = 0;
  std::string host_;
  uint16_t port_ = 0;
  uint64_t targetGeneration_ = 0;
  std::function<int64_t()> unixTime_;

  std::mutex packetMutex_;  // guards cachedPacketDictSet_
  std::set<std::string> cachedPacketDictSet_;

  // Touched by the upload thread only.
  std::deque<std::string> pending_;
  double lastClearPacketCacheInteval_ = 0;
  std::unique_ptr<Connection> current_;
  uint64_t currentGeneration_ = 0;
  std::chrono::seconds reconnectDelay_{kPassInterval};
  platform::dispatch::TimePoint nextConnect_{};

  std::thread thread_;
};
