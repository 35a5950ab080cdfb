#pragma once
// Acceleration through the traffic filter: reload it, connect its control, fetch and parse the
// rules, update the address library, push the rules. The start sequence, stop and the clean-up of
// a failed start run on one serial queue in the order they were asked for; outcomes, alerts and
// the top-up notification arrive on the main queue.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "gelmora/Application/AlertSheetPresenter.h"
#include "gelmora/Core/AccelerationController.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Error.h"

class TsKextVPNController : public AccelerationController {
 public:
  static constexpr long long kStartFailureCode = 100;
  static constexpr long long kTopupCode = 102;

  // Each step of a start, replaceable so the sequence can run against stand-ins.
  struct Steps {
    std::function<void()> unloadKEXT;
    std::function<void()> loakKEXT;
    std::function<bool()> existKEXT;
    std::function<bool()> openConnection;
    std::function<void()> closeConnection;
    // The rule list, or none with *error set.
    std::function<std::optional<nlohmann::json>(platform::reactive::Error* error)> getRules;
    std::function<bool()> updateIpPacket;
    // None on success, else the text to show.
    std::function<std::optional<std::string>(const nlohmann::json& reply)> parseRules;
    // False when the filter cannot be running on the rules (see TsParamsKext).
    std::function<bool()> pushRules;
  };
  // Shows one alert with this informative text on the window taken at start.
  using AlertSink = std::function<void(const std::string& informativeText)>;

  static TsKextVPNController& sharedInstance();
  explicit TsKextVPNController(Steps steps, AlertSink alert = {});
  ~TsKextVPNController() override;

  // The production steps; those whose pieces are not in the build fail with a logged reason.
  static Steps defaultSteps();
  void setAlertSink(AlertSink alert);
  // Alerts go to the window that is key when `start` is called (the presenter's
  // keyWindowAlert); a sink set with setAlertSink is used while no presenter is set.
  void setAlertPresenter(AlertSheetPresenter* presenter);

  platform::reactive::Signal<bool> start() override;
  void stop() override;
  void sendStopCMD(std::function<void()> done) override;
  long long status() const override { return status_.load(); }
  void setStatus(long long s) { status_.store(s); }
  void StartspeedFail();

  // Waits until every queued start and stop has run (tests).
  void drain();

 private:
  void runStart(const platform::reactive::SubscriberPtr<bool>& subscriber, AlertSink alert);
  void fail(const platform::reactive::SubscriberPtr<bool>& subscriber, const AlertSink& alert,
            std::string text, bool topup);
  void stopOnQueue();
  void failOnQueue();

  Steps steps_;
  std::mutex alertMutex_;
  AlertSink alert_;
  AlertSheetPresenter* presenter_ = nullptr;
  std::atomic<long long> status_{1};
  std::atomic<unsigned long long> stops_{0};
  std::shared_ptr<platform::dispatch::SerialQueue> queue_;
  platform::notifications::Observation resign_;
};
