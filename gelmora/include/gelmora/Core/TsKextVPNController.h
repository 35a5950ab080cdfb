#pragma once
// Acceleration through the traffic filter: reload it, connect its control, fetch and parse the
// rules, update the address library, push the rules. The start sequence, stop and the clean-up of
// a failed start run on one serial queue in the order they were asked for; outcomes, alerts,
// status announcements and the top-up notification arrive on the main queue. A start that a
// later stop or start overtook ends as a failed start without an alert and never sets the status.
// When the filter's control connection ends unasked while connected, the controller cleans up
// as after a failed start and reports status 1.
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
    // Installs what runs (on any thread) when the open connection ends unasked; may be empty.
    std::function<void(std::function<void()>)> watchConnection;
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
  void setAlertPresenter(AlertSheetPresenter* presenter) override;

  platform::reactive::Signal<bool> start() override;
  void stop() override;
  void sendStopCMD(std::function<void()> done) override;
  long long status() const override { return status_.load(); }
  // Sets the status and announces a change (tests and the older windows).
  void setStatus(long long s);
  void StartspeedFail();

  // Waits until every queued start and stop has run (tests).
  void drain();

 private:
  using Epoch = unsigned long long;
  void runStart(const platform::reactive::SubscriberPtr<bool>& subscriber, AlertSink alert,
                Epoch epoch);
  void fail(const platform::reactive::SubscriberPtr<bool>& subscriber, const AlertSink& alert,
            std::string text, bool topup, Epoch epoch);
  // Ends a start that a later stop or start overtook: no alert, no status of its own.
  void abandon(const platform::reactive::SubscriberPtr<bool>& subscriber);
  bool overtaken(Epoch epoch) const { return epoch_.load() != epoch; }
  void stopOnQueue();
  void failOnQueue(std::optional<Epoch> epoch);
  void connectionLostOnQueue();
  // Sets the status when `epoch` (none: always) is still the latest request; announces changes.
  void setStatusIf(long long s, std::optional<Epoch> epoch);
  AlertSink alertForStart();

  Steps steps_;
  std::mutex alertMutex_;
  AlertSink alert_;
  AlertSheetPresenter* presenter_ = nullptr;
  // Replaced whenever the presenter changes: alerts taken before hold it weakly.
  std::shared_ptr<bool> presenterToken_ = std::make_shared<bool>(true);
  std::mutex statusMutex_;  // orders status writes against new requests
  std::atomic<long long> status_{1};
  std::atomic<Epoch> epoch_{0};  // bumped by every start and stop
  std::shared_ptr<platform::dispatch::SerialQueue> queue_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  platform::notifications::Observation resign_;
};
