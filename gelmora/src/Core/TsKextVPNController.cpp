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
#include "platform/netext/VpnStatus.h"

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
  s.watchConnection = KextHelper::setConnectionLostHandler;
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
  // Whatever the connection watcher queues from now on finds the controller gone.
  queue_->sync([this] { alive_.reset(); });
  drain();
}

void TsKextVPNController::setAlertSink(AlertSink alert) {
  std::lock_guard lock(alertMutex_);
  alert_ = std::move(alert);
}

void TsKextVPNController::setAlertPresenter(AlertSheetPresenter* presenter) {
  std::lock_guard lock(alertMutex_);
  presenter_ = presenter;
  presenterToken_ = std::make_shared<bool>(true);
}

TsKextVPNController::AlertSink TsKextVPNController::alertForStart() {
  std::lock_guard lock(alertMutex_);
  if (!presenter_) return alert_;
  // The window that is key now gets any alert of this start, however late it comes, unless the
  // presenter was replaced or removed meanwhile.
  return [show = presenter_->keyWindowAlert(),
          token = std::weak_ptr<bool>(presenterToken_)](const std::string& text) {
    if (token.expired()) {
      MLOG().INFO("alert dropped: its window is gone", false);
      return;
    }
    show(text);
  };
}

void TsKextVPNController::setStatus(long long s) { setStatusIf(s, std::nullopt); }

void TsKextVPNController::setStatusIf(long long s, std::optional<Epoch> epoch) {
  {
    std::lock_guard lock(statusMutex_);
    if (epoch && overtaken(*epoch)) return;
    if (status_.exchange(s) == s) return;
  }
  platform::dispatch::postToMain([] {
    platform::notifications::NotificationCenter::defaultCenter().post(
        platform::netext::NEVPNStatusDidChangeNotification);
  });
}

rx::Signal<bool> TsKextVPNController::start() {
  Epoch epoch;
  {
    std::lock_guard lock(statusMutex_);
    epoch = ++epoch_;
  }
  setStatusIf(2, epoch);
  AlertSink alert = alertForStart();
  return rx::Signal<bool>::create([this, alert, epoch](const rx::SubscriberPtr<bool>& subscriber) {
    queue_->async([this, subscriber, alert, epoch] { runStart(subscriber, alert, epoch); });
    return rx::Disposable();
  });
}

void TsKextVPNController::runStart(const rx::SubscriberPtr<bool>& subscriber, AlertSink alert,
                                   Epoch epoch) {
  // A stop or another start asked for after this one wins; it does its own clean-up.
  if (overtaken(epoch)) return abandon(subscriber);
  // A connection left from a running acceleration would hold the filter through its reload and
  // get the new client refused.
  steps_.closeConnection();
  steps_.unloadKEXT();
  if (overtaken(epoch)) return abandon(subscriber);
  steps_.loakKEXT();
  if (overtaken(epoch)) return abandon(subscriber);
  if (!steps_.existKEXT() || !steps_.openConnection())
    return fail(subscriber, alert, kAlertEngine, false, epoch);
  if (steps_.watchConnection) {
    std::weak_ptr<platform::dispatch::SerialQueue> queue = queue_;
    std::weak_ptr<bool> alive = alive_;
    steps_.watchConnection([this, queue, alive] {
      if (auto q = queue.lock())
        q->async([this, alive] {
          if (!alive.expired()) connectionLostOnQueue();
        });
    });
  }
  MLOG().INFO("驱动加载成功", false);

  std::optional<nlohmann::json> rules;
  rx::Error error;
  for (int attempt = 0; attempt < 2 && !rules; ++attempt) {
    if (overtaken(epoch)) return abandon(subscriber);
    error = {};
    rules = steps_.getRules(&error);
    if (!rules && error.empty()) rules = nlohmann::json::object();
  }
  if (!rules) return fail(subscriber, alert, error.description, error.code == kTopupCode, epoch);
  MLOG().INFO("获取规则成功", false);

  bool library = false;
  for (int attempt = 0; attempt < 2 && !library; ++attempt) {
    if (overtaken(epoch)) return abandon(subscriber);
    library = steps_.updateIpPacket();
  }
  if (!library) return fail(subscriber, alert, "IP库更新失败", false, epoch);
  MLOG().INFO("IP库更新成功", false);

  if (overtaken(epoch)) return abandon(subscriber);
  if (auto text = steps_.parseRules(*rules)) return fail(subscriber, alert, *text, false, epoch);
  MLOG().INFO("获取转换成功", false);

  if (overtaken(epoch)) return abandon(subscriber);
  if (!steps_.pushRules()) return fail(subscriber, alert, kAlertEngine, false, epoch);

  platform::dispatch::postToMain([this, subscriber, epoch] {
    if (overtaken(epoch)) {
      subscriber->sendError(startFailure());
      return;
    }
    subscriber->sendCompleted();
    setStatusIf(3, epoch);
  });
}

void TsKextVPNController::abandon(const rx::SubscriberPtr<bool>& subscriber) {
  MLOG().INFO("加速启动已取消", false);
  platform::dispatch::postToMain([subscriber] { subscriber->sendError(startFailure()); });
}

void TsKextVPNController::fail(const rx::SubscriberPtr<bool>& subscriber, const AlertSink& alert,
                               std::string text, bool topup, Epoch epoch) {
  if (overtaken(epoch)) return abandon(subscriber);
  failOnQueue(epoch);
  platform::dispatch::postToMain([subscriber, alert, text = std::move(text), topup] {
    subscriber->sendError(startFailure());
    if (alert) alert(text);
    if (topup)
      platform::notifications::NotificationCenter::defaultCenter().post(
          TsUserCenterTopupNotification);
  });
}

void TsKextVPNController::failOnQueue(std::optional<Epoch> epoch) {
  steps_.closeConnection();
  steps_.unloadKEXT();
  setStatusIf(1, epoch);
}

void TsKextVPNController::connectionLostOnQueue() {
  // Only a running acceleration is affected; a start or stop in progress handles the filter.
  if (status_.load() != 3) return;
  MLOG().INFO("加速引擎已退出", true);
  Epoch epoch = epoch_.load();
  steps_.closeConnection();
  steps_.unloadKEXT();
  setStatusIf(1, epoch);
}

void TsKextVPNController::StartspeedFail() {
  queue_->sync([this] { failOnQueue(std::nullopt); });
}

void TsKextVPNController::stopOnQueue() {
  steps_.closeConnection();
  steps_.unloadKEXT();
  MLOG().INFO("停止加速", true);
}

void TsKextVPNController::stop() { sendStopCMD(nullptr); }

void TsKextVPNController::sendStopCMD(std::function<void()> done) {
  {
    std::lock_guard lock(statusMutex_);
    ++epoch_;
  }
  setStatus(1);
  queue_->async([this, done = std::move(done)] {
    stopOnQueue();
    if (done) platform::dispatch::postToMain(done);
  });
}

void TsKextVPNController::drain() {
  queue_->sync([] {});
}
