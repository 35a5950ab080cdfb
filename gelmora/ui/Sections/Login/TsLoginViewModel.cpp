#include "ui/Sections/Login/TsLoginViewModel.h"

#include <cctype>
#include <limits>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Shared/Tessaryn.h"
#include "platform/notifications/NotificationCenter.h"

namespace gelmora::ui {

using nlohmann::json;
using platform::reactive::Command;
using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;

namespace {

constexpr int64_t kCountDownSeconds = 30;

bool validPhone(const std::string& p) { return Tessaryn::isValidatePhone(p); }
bool validCode(const std::string& c) { return Tessaryn::isValidateCode(c); }

void post(std::string_view name, std::any object = {}) {
  platform::notifications::NotificationCenter::defaultCenter().post(name, std::move(object));
}

template <class Out, class Block>
std::shared_ptr<Command<platform::reactive::Unit, Out>> makeCommand(Signal<bool> enabling,
                                                                    Block block) {
  return std::make_shared<Command<platform::reactive::Unit, Out>>(
      std::move(enabling), [block](const platform::reactive::Unit&) { return block(); });
}

}  // namespace

std::string normalizedDialCode(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Saturates instead of overflowing: a dial code of any length is read without harm.
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = -int64_t(std::numeric_limits<int32_t>::min());
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kMin) value = kMin;
  }
  if (negative) return std::to_string(-value);
  return std::to_string(std::min(value, kMax));
}

std::shared_ptr<TsLoginViewModel> TsLoginViewModel::create() { return create(Collaborators{}); }

std::shared_ptr<TsLoginViewModel> TsLoginViewModel::create(Collaborators collaborators) {
  std::shared_ptr<TsLoginViewModel> model(new TsLoginViewModel(std::move(collaborators)));
  // The titles follow the count-down from the start (the first value, 0, sets the SMS title);
  // the observation holds the model weakly.
  std::weak_ptr<TsLoginViewModel> weak = model;
  model->titleSub_ = model->lastSecond.signal().subscribeNext([weak](const int64_t& left) {
    if (auto self = weak.lock()) self->onLastSecond(left);
  });
  return model;
}

TsLoginViewModel::TsLoginViewModel(Collaborators c)
    : user_(c.user ? c.user : &app().user()),
      defaults_(c.defaults ? c.defaults : &app().defaults()),
      ticker_(c.ticker ? std::move(c.ticker) : qtTickers()()),
      updateLinkedSNSInfo_(std::move(c.updateLinkedSNSInfo)) {
  QObject::connect(ticker_.get(), &Ticker::tick, [this] { onTick(); });
}

TsLoginViewModel::~TsLoginViewModel() {
  titleSub_.dispose();
  ticker_->disconnect();
  ticker_->stop();
}

void TsLoginViewModel::onLastSecond(int64_t left) {
  const bool voice = isFetchVoice.value();
  if (left < 1) {
    if (voice) {
      voiceCodeButtonTitle.setValue(gelmora::localizedString("语音验证码"));
      clickNum.setValue(3);
    } else {
      codeButtonTitle.setValue(gelmora::localizedString("短信验证码"));
    }
    return;
  }
  (voice ? voiceCodeButtonTitle : codeButtonTitle).setValue(std::to_string(left) + "s");
}

void TsLoginViewModel::startTimer() {
  lastSecond.setValue(kCountDownSeconds);
  ticker_->stop();
  ticker_->start(1.0);
}

void TsLoginViewModel::stopTimer() {
  lastSecond.setValue(0);
  ticker_->stop();
}

void TsLoginViewModel::onTick() {
  // The tick after the one that reached 0 ends the count-down.
  if (lastSecond.value() < 1) {
    ticker_->stop();
    return;
  }
  lastSecond.setValue(lastSecond.value() - 1);
  if (!showVoice.value() && lastSecond.value() == 0) showVoice.setValue(true);
}

TsLoginViewModel::CommandPtr<JVX_USER_INFO> TsLoginViewModel::loginCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& phone, const std::string& p, const std::string& e) {
        return Tessaryn::isValidatePassword(p) &&
               (validPhone(phone) || Tessaryn::isValidateEmail(e));
      },
      userName.signal(), password.signal(), email.signal());
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<JVX_USER_INFO>(enabling, [weak]() -> Signal<JVX_USER_INFO> {
    auto self = weak.lock();
    if (!self) return Signal<JVX_USER_INFO>::empty();
    std::string account = self->userName.value();
    self->user_->setLoginType(TsUserLoginTypePhonePassword);
    if (Tessaryn::isValidateEmail(self->email.value())) {
      account = self->email.value();
      self->user_->setLoginType(TsUserLoginTypeEmail);
    }
    // The dial code goes as typed here; the service reads it itself.
    return self->user_->signinWithPhone(account, self->countryCode.value(), self->password.value(),
                                        self->defaults_->autoLogin());
  });
}

TsLoginViewModel::CommandPtr<JVX_USER_INFO> TsLoginViewModel::quickLoginCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& phone, const std::string& code) {
        return validPhone(phone) && validCode(code);
      },
      userName.signal(), quickAuthCode.signal());
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<JVX_USER_INFO>(enabling, [weak]() -> Signal<JVX_USER_INFO> {
    auto self = weak.lock();
    if (!self) return Signal<JVX_USER_INFO>::empty();
    return self->user_->signinWithPhone(self->userName.value(), self->countryCode.value(),
                                        TsSmsCode{self->quickAuthCode.value()}, false);
  });
}

Signal<json> TsLoginViewModel::fetch(const std::string& type, bool voice) {
  if (lastSecond.value() >= 1 || !validPhone(userName.value())) return Signal<json>::empty();
  auto call = std::make_shared<JVX_API_PHONE_VERIFY_CODE>();
  auto& req = call->req();
  req.phone = userName.value();
  req.country_code = normalizedDialCode(countryCode.value());
  req.method = voice ? "VOICE" : "SMS";
  req.type = type;
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return RAC::rac_send(call).doNext([weak, voice](const json&) {
    auto self = weak.lock();
    if (!self) return;
    self->isFetchVoice.setValue(voice);
    self->startTimer();
  });
}

Signal<json> TsLoginViewModel::fetchCodeWithType(const std::string& type) {
  return fetch(type, false);
}
Signal<json> TsLoginViewModel::fetchVoiceCodeWithType(const std::string& type) {
  return fetch(type, true);
}

TsLoginViewModel::CommandPtr<json> TsLoginViewModel::codeCommand(const std::string& type,
                                                                 bool voice) {
  auto enabling = platform::reactive::combineLatest(
      [](const int64_t& left, const std::string& phone) { return left < 1 && validPhone(phone); },
      lastSecond.signal(), userName.signal());
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<json>(enabling, [weak, type, voice]() -> Signal<json> {
    auto self = weak.lock();
    if (!self) return Signal<json>::empty();
    return self->fetch(type, voice);
  });
}

TsLoginViewModel::CommandPtr<json> TsLoginViewModel::codeCommandWithType(const std::string& type) {
  return codeCommand(type, false);
}
TsLoginViewModel::CommandPtr<json> TsLoginViewModel::voiceCodeCommandWithType(
    const std::string& type) {
  return codeCommand(type, true);
}

// ---------------------------------------------------------------- binding

template <class Call>
Signal<json> TsLoginViewModel::sendSigned(const std::shared_ptr<Call>& call) {
  call->req().mac = user_->mac();
  if (auto uid = user_->uid()) {
    call->req().uid = *uid;
    return RAC::rac_send(call);
  }
  // Nobody signed in: the call fails as unauthorised and nothing goes out.
  return Signal<json>::create([call](const SubscriberPtr<json>& s) {
    call->setWhenFailed([s](TQAPI& api) { s->sendError(api.lastError()); });
    call->failedForNotAuthed();
    return platform::reactive::Disposable();
  });
}

void TsLoginViewModel::updateLinkedSNSInfo() {
  if (updateLinkedSNSInfo_) updateLinkedSNSInfo_();
}

Signal<json> TsLoginViewModel::verifyPhoneSignalWithType(const std::string& type) {
  auto call = std::make_shared<JVX_API_PHONE_VERIFY_PHONE>();
  call->req().type = type;
  call->req().verify_code = quickAuthCode.value();
  return sendSigned(call).doNext(
      [type](const json&) { post(TsUserVerifyPhoneSuccessNotification, std::string(type)); });
}

Signal<json> TsLoginViewModel::bindPhoneSignal() {
  auto call = std::make_shared<JVX_API_USER_BIND_NEW_PHONE>();
  auto& req = call->req();
  req.verify_code = quickAuthCode.value();
  req.country_code = normalizedDialCode(countryCode.value());
  req.phone = userName.value();
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return sendSigned(call).doNext([weak](const json&) {
    // The bound accounts are refreshed before anyone hears of the new phone.
    if (auto self = weak.lock()) self->updateLinkedSNSInfo();
    post(TsUserBindPhoneSuccessNotification);
  });
}

Signal<json> TsLoginViewModel::unbindPhoneSignal() {
  auto call = std::make_shared<JVX_API_USER_UNBIND_PHONE>();
  call->req().verify_code = quickAuthCode.value();
  return sendSigned(call).doNext([](const json&) { post(TsUserUnbindPhoneSuccessNotification); });
}

Signal<json> TsLoginViewModel::unbindSNSWithPlatform(const std::string& platform) {
  auto call = std::make_shared<JVX_API_USER_UNBIND_SNS>();
  call->req().third_account_provider = platform;
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return sendSigned(call).doNext([weak](const json&) {
    if (auto self = weak.lock()) self->updateLinkedSNSInfo();
  });
}

Signal<json> TsLoginViewModel::unBindWechat() {
  auto call = std::make_shared<JVX_API_USER_UNBIND_WECHAT>();
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return sendSigned(call).doNext([weak](const json&) {
    if (auto self = weak.lock()) self->updateLinkedSNSInfo();
  });
}

Signal<json> TsLoginViewModel::bindPhone() {
  auto call = std::make_shared<JVX_API_USER_BIND_PHONE>();
  auto& req = call->req();
  req.phone = userName.value();
  req.country_code = normalizedDialCode(countryCode.value());
  req.verify_code = quickAuthCode.value();
  req.password = password.value();
  return sendSigned(call);
}

Signal<json> TsLoginViewModel::bindEmail() {
  auto call = std::make_shared<JVX_API_USER_BIND_MAIL>();
  call->req().mail = email.value();
  call->req().password = password.value();
  return sendSigned(call);
}

Signal<json> TsLoginViewModel::unBindPhone() {
  auto call = std::make_shared<JVX_API_USER_UNBIND_PHONE>();
  call->req().verify_code = quickAuthCode.value();
  return sendSigned(call);
}

TsLoginViewModel::CommandPtr<json> TsLoginViewModel::bindPhoneCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& code, const std::string& phone) {
        return validCode(code) && validPhone(phone);
      },
      quickAuthCode.signal(), userName.signal());
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<json>(enabling, [weak]() -> Signal<json> {
    auto self = weak.lock();
    return self ? self->bindPhoneSignal() : Signal<json>::empty();
  });
}

TsLoginViewModel::CommandPtr<json> TsLoginViewModel::unBindPhoneCommand() {
  auto enabling = quickAuthCode.signal().map([](const std::string& c) { return validCode(c); });
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<json>(enabling, [weak]() -> Signal<json> {
    auto self = weak.lock();
    return self ? self->unbindPhoneSignal() : Signal<json>::empty();
  });
}

TsLoginViewModel::CommandPtr<json> TsLoginViewModel::verifyPhoneCommandWithType(
    const std::string& type) {
  auto enabling = quickAuthCode.signal().map([](const std::string& c) { return validCode(c); });
  std::weak_ptr<TsLoginViewModel> weak = weak_from_this();
  return makeCommand<json>(enabling, [weak, type]() -> Signal<json> {
    auto self = weak.lock();
    return self ? self->verifyPhoneSignalWithType(type) : Signal<json>::empty();
  });
}

}  // namespace gelmora::ui
