#include "gelmora/Legacy/LegacyHeartbeat.h"

#include "gelmora/Legacy/LegacyJson.h"
#include "gelmora/Service/Tools/LOG.h"
#include "platform/dispatch/Queue.h"

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

LegacyHeartbeat::LegacyHeartbeat(LegacyServices& services, LegacyMainState& state,
                                 LegacyMainView& view, std::function<void()> stopByCode,
                                 dispatch::ClockPtr clock)
    : services_(services),
      state_(state),
      view_(view),
      stopByCode_(std::move(stopByCode)),
      clock_(clock ? std::move(clock) : dispatch::defaultClock()),
      worker_(std::make_shared<dispatch::SerialQueue>("older-heartbeat")) {}

LegacyHeartbeat::~LegacyHeartbeat() {
  timer_.cancel();
  worker_->shutdown();
  alive_.reset();
}

void LegacyHeartbeat::startTimer() {
  timer_.cancel();
  std::weak_ptr<Alive> alive = alive_;
  timer_ = dispatch::repeating(
      120s, dispatch::mainQueue(),
      [this, alive] {
        if (alive.lock()) tick();
      },
      {}, clock_);
}

void LegacyHeartbeat::stopTimer() { timer_.cancel(); }

bool LegacyHeartbeat::timerRunning() const { return timer_.isValid() && !timer_.isCancelled(); }

void LegacyHeartbeat::tick() {
  std::lock_guard lock(mu_);
  if (running_) {
    waiting_ = true;
    return;
  }
  running_ = true;
  worker_->async([this] {
    beat();
    afterBeat();
  });
}

void LegacyHeartbeat::afterBeat() {
  std::lock_guard lock(mu_);
  if (waiting_) {
    waiting_ = false;
    worker_->async([this] {
      beat();
      afterBeat();
    });
    return;
  }
  running_ = false;
}

void LegacyHeartbeat::mustHeartbeatOnce() {
  std::weak_ptr<Alive> alive = alive_;
  dispatch::after(
      5500ms, dispatch::mainQueue(),
      [this, alive] {
        if (alive.lock()) tick();
      },
      clock_);
}

void LegacyHeartbeat::drain() {
  for (;;) {
    worker_->sync([] {});
    std::lock_guard lock(mu_);
    if (!running_) return;
  }
}

void LegacyHeartbeat::beat() {
  LOG::console("Start Heartbeat");
  TQError error;
  auto reply = services_.heartBeat(&error);
  std::weak_ptr<Alive> alive = alive_;
  if (!reply) {
    LOG::console("Heartbeat Fail");
    dispatch::postToMain([this, alive, error] {
      if (!alive.lock()) return;
      if (state_.speedState != 3) {
        state_.heartBeatErrorTimes = 0;
        return;
      }
      if (++state_.heartBeatErrorTimes >= kMaxFailures) {
        view_.showAlert("心跳检测失败", error.description, {});
        if (stopByCode_) stopByCode_();
        state_.heartBeatErrorTimes = 0;
      }
    });
    return;
  }
  state_.heartBeatErrorTimes = 0;
  LOG::console("Heartbeat Success");
  dispatch::postToMain([this, alive, reply] {
    if (!alive.lock()) return;
    view_.applyReply(*reply);
    view_.showPopup(reply);
  });

  const nlohmann::json* data = LegacyJson::member(*reply, "data");
  if (!data || !data->is_object()) return;
  // Stream limit: a value of the wrong kind skips this step only.
  auto limit = [&](const char* key) -> std::optional<std::int64_t> {
    const nlohmann::json* v = LegacyJson::member(*data, key);
    if (!v) return 0;
    return LegacyJson::integer(*v);
  };
  auto up = limit("up_stream_limit");
  auto down = limit("down_stream_limit");
  if (up && down && state_.speedState == 3) services_.UpdateStreamLimit(*up, *down);

  const nlohmann::json* entrance = LegacyJson::member(*data, "entrance");
  if (!entrance || !entrance->is_array() || state_.speedState != 3) return;
  for (const auto& entry : *entrance) {
    const nlohmann::json* ip = LegacyJson::member(entry, "ip");
    const nlohmann::json* ports = LegacyJson::member(entry, "ports");
    if (!ip || !ip->is_string() || !ports || !ports->is_array()) continue;
    auto probe = services_.SelectEntrancePort(ip->get<std::string>(), *ports);
    if (probe.delay < 3000) {
      services_.UpdateEntranceIP(ip->get<std::string>(), probe.port);
      break;
    }
  }
}
