#pragma once
// The older main window's heartbeat: every 120 s on a worker of its own, one beat at a time and
// at most one waiting behind it. A reply refreshes the account panel and may show a pop-up;
// while running it also updates the stream limit and, when a listed entrance answers, the
// filter's entrance. 60 failures in a row while running show "心跳检测失败" and stop.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "gelmora/Legacy/LegacyMainState.h"
#include "gelmora/Legacy/LegacyServices.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"

class LegacyHeartbeat {
 public:
  static constexpr int kMaxFailures = 60;

  // `stopByCode` stops acceleration without a pop-up (main queue).
  LegacyHeartbeat(LegacyServices& services, LegacyMainState& state, LegacyMainView& view,
                  std::function<void()> stopByCode, platform::dispatch::ClockPtr clock = nullptr);
  ~LegacyHeartbeat();
  LegacyHeartbeat(const LegacyHeartbeat&) = delete;
  LegacyHeartbeat& operator=(const LegacyHeartbeat&) = delete;

  // The 120 s timer (main thread).
  void startTimer();
  void stopTimer();
  bool timerRunning() const;
  // One beat now, or after the running one (only one waits).
  void tick();
  // After 5.5 s, one beat (the top-up page closed).
  void mustHeartbeatOnce();
  // Waits until no beat runs or waits (tests; real-time guard).
  void drain();

 private:
  struct Alive {};
  void beat();
  void afterBeat();

  LegacyServices& services_;
  LegacyMainState& state_;
  LegacyMainView& view_;
  std::function<void()> stopByCode_;
  platform::dispatch::ClockPtr clock_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  std::mutex mu_;
  bool running_ = false;
  bool waiting_ = false;
  platform::dispatch::Timer timer_;
  std::shared_ptr<platform::dispatch::SerialQueue> worker_;
};
