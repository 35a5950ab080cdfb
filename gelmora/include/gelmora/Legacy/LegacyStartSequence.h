#pragma once
// Start and stop of acceleration by the older main window, and its speed display: the blocking
// steps run on one serial worker per window in the order they were asked for; views change on
// the main queue through LegacyMainView; the fixed waits are timers of the given clock.
//
// Start: reload the filter, connect, rules (2 tries), address library (2 tries), parse, push;
// progress 30/50/70/80/100 climbs on the control by 5 every 0.05 s. A failed step shows its
// alert, closes the connection, unloads the filter and returns to the idle control.
#include <atomic>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "gelmora/Legacy/LegacyMainState.h"
#include "gelmora/Legacy/LegacyServices.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"

class LegacyStartSequence {
 public:
  static constexpr const char* kFailureA =
      "安装加速引擎失败，请尝试重新启动加速\n如果仍然失败 请尝试重新启动软件";
  static constexpr const char* kFailureC = "IP库更新失败";

  LegacyStartSequence(LegacyServices& services, LegacyMainState& state, LegacyMainView& view,
                      platform::dispatch::ClockPtr clock = nullptr);
  ~LegacyStartSequence();
  LegacyStartSequence(const LegacyStartSequence&) = delete;
  LegacyStartSequence& operator=(const LegacyStartSequence&) = delete;

  // The start control (main thread). Ignored while a start is under way.
  void start();
  // Stop (main thread): state 1 and the speed tab at once; on the worker the connection is
  // closed, the filter unloaded and the end reported; `withPopup` shows the report's pop-up.
  // `reported` runs on the main queue once the report has ended.
  void stop(bool withPopup, std::function<void()> reported = {});
  // One refresh of the speed figures (main thread).
  void speedTick();

  // The repeating speed timer is running.
  bool speedTimerRunning() const;
  // How many speed timers were ever made.
  int speedTimersMade() const { return speedTimersMade_; }
  // Waits until the worker has run everything queued so far (tests).
  void drain();

 private:
  struct Alive {};
  void runStart();
  void fail(const std::string& text);
  void pause(platform::dispatch::Duration d);
  void post(std::function<void()> task);
  void progressTick();

  LegacyServices& services_;
  LegacyMainState& state_;
  LegacyMainView& view_;
  platform::dispatch::ClockPtr clock_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  std::atomic<bool> busy_{false};
  platform::dispatch::Timer progressTimer_;
  platform::dispatch::Timer speedTimer_;
  platform::dispatch::Timer pending_;
  int speedTimersMade_ = 0;
  std::shared_ptr<platform::dispatch::SerialQueue> worker_;
};
