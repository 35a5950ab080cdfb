#include "gelmora/Legacy/LegacyStartSequence.h"

#include <future>

#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsConvertHelper.h"
#include "platform/dispatch/Queue.h"

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

LegacyStartSequence::LegacyStartSequence(LegacyServices& services, LegacyMainState& state,
                                         LegacyMainView& view, dispatch::ClockPtr clock)
    : services_(services),
      state_(state),
      view_(view),
      clock_(clock ? std::move(clock) : dispatch::defaultClock()),
      worker_(std::make_shared<dispatch::SerialQueue>("older-main-window")) {}

LegacyStartSequence::~LegacyStartSequence() {
  pending_.cancel();
  progressTimer_.cancel();
  speedTimer_.cancel();
  worker_->shutdown();
  alive_.reset();
}

void LegacyStartSequence::post(std::function<void()> task) {
  std::weak_ptr<Alive> alive = alive_;
  dispatch::postToMain([alive, task = std::move(task)] {
    if (alive.lock()) task();
  });
}

void LegacyStartSequence::pause(dispatch::Duration d) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  clock_->schedule(clock_->now() + d, [done] { done->set_value(); });
  future.wait();
}

void LegacyStartSequence::start() {
  // The control is disabled only after the first wait; a second press meanwhile is dropped.
  if (busy_.exchange(true)) return;
  services_.log("点击启动加速", false);
  speedTick();
  std::weak_ptr<Alive> alive = alive_;
  pending_ = dispatch::after(
      200ms, dispatch::mainQueue(),
      [this, alive] {
        if (!alive.lock()) return;
        view_.setStartControl(true);
        speedTick();
        state_.speedState = 2;
        state_.speedProgress = 0;
        state_.showSpeedProgress = 0;
        progressTimer_.cancel();
        progressTimer_ = dispatch::repeating(
            50ms, dispatch::mainQueue(),
            [this, alive] {
              if (alive.lock()) progressTick();
            },
            {}, clock_);
        worker_->async([this] { runStart(); });
      },
      clock_);
}

void LegacyStartSequence::progressTick() {
  if (state_.speedState == 2) {
    int shown = state_.showSpeedProgress;
    if (shown < state_.speedProgress) {
      shown += 5;
      state_.showSpeedProgress = shown;
      LOG::console("当前加速进度 " + std::to_string(shown));
    }
    view_.setProgressText(std::to_string(shown));
  } else {
    view_.setProgressText("0");
  }
}

void LegacyStartSequence::runStart() {
  services_.unloadKEXT();
  pause(10ms);
  services_.loakKEXT();
  if (!services_.existKEXT() || !services_.openKextConnection()) return fail(kFailureA);
  services_.log("驱动加载成功", false);
  state_.speedProgress = 30;

  LegacyServices::Answer rules;
  TQError error;
  for (int attempt = 0; attempt < 2 && !rules; ++attempt) {
    error = {};
    rules = services_.getRules(&error);
  }
  if (!rules) return fail(error.description);
  services_.log("获取规则成功", false);
  state_.speedProgress = 50;

  bool library = false;
  for (int attempt = 0; attempt < 2 && !library; ++attempt) library = services_.updateIpPacket();
  if (!library) return fail(kFailureC);
  services_.log("IP库更新成功", false);
  state_.speedProgress = 70;

  if (auto text = services_.updateWithRulelistReturnObject(*rules)) return fail(*text);
  services_.log("获取转换成功", false);
  state_.speedProgress = 80;

  // A refused push leaves the filter without rules: a failed start like a missing filter.
  if (!services_.setRulesToKext()) return fail(kFailureA);
  state_.speedProgress = 100;

  services_.log("启动加速", true);
  pause(200ms);
  state_.speedState = 3;
  std::weak_ptr<Alive> alive = alive_;
  post([this, alive, reply = *rules] {
    progressTimer_.cancel();
    pending_ = dispatch::after(
        100ms, dispatch::mainQueue(),
        [this, alive, reply] {
          if (!alive.lock()) return;
          view_.showSpeedTab();
          view_.setStartControl(false);
          view_.setProgressText("0");
          state_.speedProgress = 0;
          state_.lastUpLimit = 0;
          state_.lastDownLimit = 0;
          // One speed timer: a later start replaces the one still running.
          speedTimer_.cancel();
          speedTimer_ = dispatch::repeating(
              1s, dispatch::mainQueue(),
              [this, alive] {
                if (alive.lock()) speedTick();
              },
              {}, clock_);
          ++speedTimersMade_;
          busy_ = false;
          view_.showPopup(reply);
        },
        clock_);
  });
}

void LegacyStartSequence::fail(const std::string& text) {
  post([this] { progressTimer_.cancel(); });
  pause(100ms);
  post([this, text] { view_.showAlert("", text, {}); });
  // The clean-up's blocking steps stay on the worker, in this order.
  services_.unloadMessagePipe();
  services_.unloadKEXT();
  state_.speedState = 1;
  std::weak_ptr<Alive> alive = alive_;
  post([this, alive] {
    progressTimer_.cancel();
    pending_ = dispatch::after(
        200ms, dispatch::mainQueue(),
        [this, alive] {
          if (!alive.lock()) return;
          view_.setStartControl(false);
          state_.speedProgress = 0;
          view_.setProgressText("0");
          busy_ = false;
        },
        clock_);
  });
}

void LegacyStartSequence::stop(bool withPopup, std::function<void()> reported) {
  state_.speedState = 1;
  view_.showSpeedTab();
  worker_->async([this, withPopup, reported = std::move(reported)] {
    services_.unloadMessagePipe();
    services_.unloadKEXT();
    services_.log("停止加速", true);
    TQError error;
    auto reply = services_.stopSpeed(&error);
    post([this, withPopup, reply, reported] {
      if (withPopup) view_.showPopup(reply);
      if (reported) reported();
    });
  });
}

void LegacyStartSequence::speedTick() {
  if (state_.speedState == 3) {
    std::int64_t up = services_.getUpstreamlimit();
    std::int64_t down = services_.getDownstreamlimit();
    view_.setSpeedTexts(TsConvertHelper::flowSizeNtoH(up - state_.lastUpLimit, true) + "/s",
                        TsConvertHelper::flowSizeNtoH(down - state_.lastDownLimit, true) + "/s",
                        TsConvertHelper::flowSizeNtoH(up, false),
                        TsConvertHelper::flowSizeNtoH(down, false));
    state_.lastUpLimit = up;
    state_.lastDownLimit = down;
  } else {
    view_.setSpeedTexts("0 Kb/s", "0 Kb/s", "0 Kb", "0 Kb");
    state_.lastUpLimit = 0;
    state_.lastDownLimit = 0;
    services_.setUpstreamlimit(0);
    services_.setDownstreamlimit(0);
  }
}

bool LegacyStartSequence::speedTimerRunning() const {
  return speedTimer_.isValid() && !speedTimer_.isCancelled();
}

void LegacyStartSequence::drain() {
  worker_->sync([] {});
}
