#include "gelmora/Core/TsKextVPNController.h"

#include "gelmora/Core/TsUserController.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/IpPacketHelper.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/Utils.h"
#include "gelmora/Service/Web/TsWebService.h"
#include "platform/dispatch/Queue.h"

namespace rx = platform::reactive;

namespace {

constexpr const char* kAlertEngine =
    "安装加速引擎失败，请尝试重新启动加速\n如果仍然失败 请尝试重新启动软件";

rx::Error startFailure() {
  rx::Error e;
  e.code = TsKextVPNController::kStartFailureCode;
  return e;
}

}  // namespace

TsKextVPNController::Steps TsKextVPNController::defaultSteps() {
  Steps s;
  s.unloadKEXT = Utils::unloadKEXT;
  s.loakKEXT = Utils::loakKEXT;
  s.existKEXT = Utils::existKEXT;
  s.openConnection = [] {
    // The reader answers path requests and sums the traffic through the rule store.
    KextHelper::setHooks(TsParams::kextHooks());
    return KextHelper::openKextConnection();
  };
  s.closeConnection = KextHelper::unloadMessagePipe;
  s.getRules = [](rx::Error* error) { return TsWebService::getRules(error); };
  s.updateIpPacket = IpPacketHelper::updateIpPacket;
  s.parseRules = TsParams::updateWithRulelistReturnObject;
  s.pushRules = [] { return TsParamsKext::setRulesToKext(TsParams::kextRuleSet()); };
  return s;
}

TsKextVPNController& TsKextVPNController::sharedInstance() {
  static TsKextVPNController* c = new TsKextVPNController(defaultSteps());
  return *c;
}

TsKextVPNController::TsKextVPNController(Steps steps, AlertSink alert)
    : steps_(std::move(steps)),
      alert_(std::move(alert)),
      queue_(std::make_shared<platform::dispatch::SerialQueue>("kext-acceleration")) {
  resign_ = platform::notifications::NotificationCenter::defaultCenter().observe(
      TsUserWillResignNotification, [this](const auto&) {
        if (status_.load() == 3) stop();
      });
}

TsKextVPNController::~TsKextVPNController() {
  resign_ = {};
  drain();
}

void TsKextVPNController::setAlertSink(AlertSink alert) {
  std::lock_guard lock(alertMutex_);
  alert_ = std::move(alert);
}

void TsKextVPNController::setAlertPresenter(AlertSheetPresenter* presenter) {
  std::lock_guard lock(alertMutex_);
  presenter_ = presenter;
}

rx::Signal<bool> TsKextVPNController::start() {
  status_.store(2);
  AlertSink alert;
  {
    // The window that is key now gets any alert of this start, however late it comes.
    std::lock_guard lock(alertMutex_);
    alert = presenter_ ? AlertSink(presenter_->keyWindowAlert()) : alert_;
  }
  return rx::Signal<bool>::create([this, alert](const rx::SubscriberPtr<bool>& subscriber) {
    queue_->async([this, subscriber, alert] { runStart(subscriber, alert); });
    return rx::Disposable();
  });
}

void TsKextVPNController::runStart(const rx::SubscriberPtr<bool>& subscriber, AlertSink alert) {
  unsigned long long stopsAtStart = stops_.load();
  // A connection left from a running acceleration would hold the filter through its reload and
  // get the new client refused.
  steps_.closeConnection();
  steps_.unloadKEXT();
  steps_.loakKEXT();
  if (!steps_.existKEXT() || !steps_.openConnection())
    return fail(subscriber, alert, kAlertEngine, false);
  MLOG().INFO("驱动加载成功", false);

  std::optional<nlohmann::json> rules;
  rx::Error error;
  for (int attempt = 0; attempt < 2 && !rules; ++attempt) {
    error = {};
    rules = steps_.getRules(&error);
    if (!rules && error.empty()) rules = nlohmann::json::object();
  }
  if (!rules) return fail(subscriber, alert, error.description, error.code == kTopupCode);
  MLOG().INFO("获取规则成功", false);

  bool library = false;
  for (int attempt = 0; attempt < 2 && !library; ++attempt) library = steps_.updateIpPacket();
  if (!library) return fail(subscriber, alert, "IP库更新失败", false);
  MLOG().INFO("IP库更新成功", false);

  if (auto text = steps_.parseRules(*rules)) return fail(subscriber, alert, *text, false);
  MLOG().INFO("获取转换成功", false);

  if (!steps_.pushRules()) return fail(subscriber, alert, kAlertEngine, false);

  platform::dispatch::postToMain([this, subscriber, stopsAtStart] {
    subscriber->sendCompleted();
    if (stops_.load() == stopsAtStart) status_.store(3);
  });
}

void TsKextVPNController::fail(const rx::SubscriberPtr<bool>& subscriber, const AlertSink& alert,
                               std::string text, bool topup) {
  failOnQueue();
  platform::dispatch::postToMain([subscriber, alert, text = std::move(text), topup] {
    subscriber->sendError(startFailure());
    if (alert) alert(text);
    if (topup)
      platform::notifications::NotificationCenter::defaultCenter().post(
          TsUserCenterTopupNotification);
  });
}

void TsKextVPNController::failOnQueue() {
  steps_.closeConnection();
  steps_.unloadKEXT();
  status_.store(1);
}

void TsKextVPNController::StartspeedFail() {
  queue_->sync([this] { failOnQueue(); });
}

void TsKextVPNController::stopOnQueue() {
  steps_.closeConnection();
  steps_.unloadKEXT();
  MLOG().INFO("停止加速", true);
}

void TsKextVPNController::stop() {
  status_.store(1);
  ++stops_;
  queue_->async([this] { stopOnQueue(); });
}

void TsKextVPNController::sendStopCMD(std::function<void()> done) {
  status_.store(1);
  ++stops_;
  queue_->async([this, done = std::move(done)] {
    stopOnQueue();
    if (done) platform::dispatch::postToMain(done);
  });
}

void TsKextVPNController::drain() {
  queue_->sync([] {});
}
