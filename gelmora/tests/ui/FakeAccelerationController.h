#pragma once
// An acceleration controller for screen tests: a settable status, a start that completes at
// once, later (when the test says so) or fails, and a record of every call. Status changes are
// announced like the real controllers do. Main thread only.
#include <string>
#include <vector>

#include "gelmora/Core/AccelerationController.h"
#include "platform/netext/VpnStatus.h"
#include "platform/notifications/NotificationCenter.h"

class FakeAccelerationController : public AccelerationController {
 public:
  enum class StartMode { CompleteAtOnce, Later, FailAtOnce };

  platform::reactive::Signal<bool> start() override {
    return platform::reactive::Signal<bool>::create(
        [this](const platform::reactive::SubscriberPtr<bool>& s) {
          calls.push_back("start");
          switch (mode) {
            case StartMode::CompleteAtOnce:
              s->sendCompleted();
              break;
            case StartMode::FailAtOnce:
              s->sendError({"Test", 100, "start failed", {}});
              break;
            case StartMode::Later:
              pending = s;
              break;
          }
          return platform::reactive::Disposable();
        });
  }
  void stop() override {
    calls.push_back("stop");
    if (onStop) onStop();
    if (stopChangesStatus) setStatus(1);
  }
  void sendStopCMD(std::function<void()> done) override {
    calls.push_back("sendStopCMD");
    if (done) done();
  }
  long long status() const override { return status_; }

  // Sets the status and posts NEVPNStatusDidChangeNotification when `announce`.
  void setStatus(long long s, bool announce = true) {
    status_ = s;
    if (announce)
      platform::notifications::NotificationCenter::defaultCenter().post(
          platform::netext::NEVPNStatusDidChangeNotification);
  }
  // Ends a start held with StartMode::Later.
  void completePending() {
    if (auto s = std::exchange(pending, nullptr)) s->sendCompleted();
  }
  void failPending() {
    if (auto s = std::exchange(pending, nullptr)) s->sendError({"Test", 100, "start failed", {}});
  }
  size_t count(const std::string& call) const {
    size_t n = 0;
    for (auto& c : calls) n += c == call;
    return n;
  }

  StartMode mode = StartMode::CompleteAtOnce;
  bool stopChangesStatus = false;
  std::function<void()> onStop;  // runs inside stop()
  std::vector<std::string> calls;
  platform::reactive::SubscriberPtr<bool> pending;

 private:
  long long status_ = 1;
};
