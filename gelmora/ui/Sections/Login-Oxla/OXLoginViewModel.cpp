#include "ui/Sections/Login-Oxla/OXLoginViewModel.h"

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "gelmora/Shared/Tessaryn.h"

namespace gelmora::ui {

using nlohmann::json;
using platform::reactive::Command;
using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;

namespace {

constexpr int64_t kCountDownSeconds = 30;

bool validPassword(const std::string& p) { return Tessaryn::isValidatePassword(p); }
bool validTrimmedEmail(const std::string& e) {
  return Tessaryn::isValidateEmail(Tessaryn::trim(e));
}

template <class Out, class Enable, class Block>
std::shared_ptr<Command<platform::reactive::Unit, Out>> makeCommand(Signal<bool> enabling,
                                                                    Block block) {
  return std::make_shared<Command<platform::reactive::Unit, Out>>(
      std::move(enabling), [block](const platform::reactive::Unit&) { return block(); });
}

}  // namespace

std::shared_ptr<OXLoginViewModel> OXLoginViewModel::create() { return create(Collaborators{}); }

std::shared_ptr<OXLoginViewModel> OXLoginViewModel::create(Collaborators collaborators) {
  std::shared_ptr<OXLoginViewModel> model(new OXLoginViewModel(std::move(collaborators)));
  // The title follows the count-down from the start; the observation holds the model weakly.
  std::weak_ptr<OXLoginViewModel> weak = model;
  model->titleSub_ = model->lastSecond.signal().subscribeNext([weak](const int64_t& left) {
    auto self = weak.lock();
    if (!self) return;
    self->codeButtonTitle.setValue(left < 1 ? gelmora::localizedString("get_code_button")
                                            : std::to_string(left) + "s");
  });
  return model;
}

OXLoginViewModel::OXLoginViewModel(Collaborators c)
    : user_(c.user ? c.user : &app().user()),
      analytics_(c.analytics ? c.analytics : &app().analytics()),
      ticker_(c.ticker ? std::move(c.ticker) : qtTickers()()),
      updateLinkedSNSInfo_(c.updateLinkedSNSInfo ? std::move(c.updateLinkedSNSInfo)
                                                 : std::function<void()>([] {
                                                     app().bind().updateLinkedSNSInfo();
                                                   })) {
  QObject::connect(ticker_.get(), &Ticker::tick, [this] { onTick(); });
}

OXLoginViewModel::~OXLoginViewModel() {
  titleSub_.dispose();
  ticker_->disconnect();
  ticker_->stop();
}

void OXLoginViewModel::startTimer() {
  lastSecond.setValue(kCountDownSeconds);
  ticker_->stop();
  ticker_->start(1.0);
}

void OXLoginViewModel::stopTimer() {
  lastSecond.setValue(0);
  ticker_->stop();
}

void OXLoginViewModel::onTick() {
  // The tick after the one that reached 0 ends the count-down.
  if (lastSecond.value() < 1) {
    ticker_->stop();
    return;
  }
  lastSecond.setValue(lastSecond.value() - 1);
}

OXLoginViewModel::CommandPtr<JVX_USER_INFO> OXLoginViewModel::loginCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& e, const std::string& p) {
        return validPassword(p) && validTrimmedEmail(e);
      },
      email.signal(), password.signal());
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return makeCommand<JVX_USER_INFO, void>(enabling, [weak]() -> Signal<JVX_USER_INFO> {
    auto self = weak.lock();
    if (!self) return Signal<JVX_USER_INFO>::empty();
    TsUserController* user = self->user_;
    TsAnalyticsService* analytics = self->analytics_;
    // Set first: the sign-in and its analytics event both read it.
    user->setLoginType(TsUserLoginTypeEmail);
    return user
        ->signinWithPhone(Tessaryn::trim(self->email.value()), "", self->password.value(), true)
        .doCompleted([user, analytics] { analytics->loginWithType(user->loginType()); });
  });
}

OXLoginViewModel::CommandPtr<JVX_USER_INFO> OXLoginViewModel::signupCommand() {
  // The code takes part in the combination but is not checked: sign-up goes without one.
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& e, const std::string& p, const std::string&) {
        return validPassword(p) && validTrimmedEmail(e);
      },
      email.signal(), password.signal(), code.signal());
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return makeCommand<JVX_USER_INFO, void>(enabling, [weak]() -> Signal<JVX_USER_INFO> {
    auto self = weak.lock();
    if (!self) return Signal<JVX_USER_INFO>::empty();
    self->user_->setLoginType(TsUserLoginTypeEmail);
    // Checked trimmed, so sent trimmed: the address with blanks would be another account.
    return self->user_->registerWithEmail(Tessaryn::trim(self->email.value()),
                                          self->password.value(), self->code.value());
  });
}

OXLoginViewModel::CommandPtr<platform::reactive::Unit> OXLoginViewModel::resetCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& e, const std::string& p, const std::string& c) {
        return validPassword(p) && Tessaryn::isValidateEmail(e) && c.size() > 4;
      },
      resetEmail.signal(), resetPassword.signal(), resetCode.signal());
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return makeCommand<Unit, void>(enabling, [weak]() -> Signal<Unit> {
    auto self = weak.lock();
    if (!self) return Signal<Unit>::empty();
    return self->user_->resetPassWithEmail(Tessaryn::trim(self->resetEmail.value()),
                                           self->resetPassword.value(),
                                           Tessaryn::trim(self->resetCode.value()));
  });
}

Signal<json> OXLoginViewModel::sendWithUid(const TQAPIPtr& call,
                                           const std::function<void(int64_t)>& fill) {
  if (auto uid = user_->uid()) {
    fill(*uid);
    return RAC::rac_send(call);
  }
  // Nobody signed in: the call fails as unauthorised and nothing goes out.
  return Signal<json>::create([call](const SubscriberPtr<json>& s) {
    call->setWhenFailed([s](TQAPI& api) { s->sendError(api.lastError()); });
    call->failedForNotAuthed();
    return platform::reactive::Disposable();
  });
}

OXLoginViewModel::CommandPtr<json> OXLoginViewModel::bindCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const std::string& e, const std::string& p, const std::string& c) {
        return validPassword(p) && validTrimmedEmail(e) && !Tessaryn::trim(c).empty();
      },
      email.signal(), password.signal(), code.signal());
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return makeCommand<json, void>(enabling, [weak]() -> Signal<json> {
    auto self = weak.lock();
    if (!self) return Signal<json>::empty();
    auto call = std::make_shared<JVX_API_USER_BIND_MAIL>();
    auto& req = call->req();
    req.mac = self->user_->mac();
    req.mail = Tessaryn::trim(self->email.value());
    req.password = self->password.value();
    req.code = self->code.value();
    return self->sendWithUid(call, [call](int64_t uid) { call->req().uid = uid; })
        .doCompleted([weak] {
          auto s = weak.lock();
          if (s && s->updateLinkedSNSInfo_) s->updateLinkedSNSInfo_();
        });
  });
}

Signal<json> OXLoginViewModel::unbindSNSWithPlatform(const std::string& platform) {
  auto call = std::make_shared<JVX_API_USER_UNBIND_SNS>();
  call->req().mac = user_->mac();
  call->req().third_account_provider = platform;
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return sendWithUid(call, [call](int64_t uid) { call->req().uid = uid; })
      .doNext([weak](const json&) {
        auto s = weak.lock();
        if (s && s->updateLinkedSNSInfo_) s->updateLinkedSNSInfo_();
      });
}

OXLoginViewModel::CommandPtr<json> OXLoginViewModel::unbindCommand() {
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  return makeCommand<json, void>(Signal<bool>::just(true), [weak]() -> Signal<json> {
    auto self = weak.lock();
    if (!self) return Signal<json>::empty();
    return self->unbindSNSWithPlatform("email");
  });
}

OXLoginViewModel::CommandPtr<json> OXLoginViewModel::codeCommand(
    platform::reactive::Property<std::string>& address, const char* type) {
  auto enabling = platform::reactive::combineLatest(
      [](const int64_t& left, const std::string& e) {
        return left < 1 && Tessaryn::isValidateEmail(e);
      },
      lastSecond.signal(), address.signal());
  std::weak_ptr<OXLoginViewModel> weak = weak_from_this();
  auto* prop = &address;
  std::string kind = type;
  return makeCommand<json, void>(enabling, [weak, prop, kind]() -> Signal<json> {
    auto self = weak.lock();
    if (!self) return Signal<json>::empty();
    auto call = std::make_shared<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
    call->req().email = prop->value();
    call->req().type = kind;
    return RAC::rac_send(call).doNext([weak](const json&) {
      if (auto s = weak.lock()) s->startTimer();
    });
  });
}

OXLoginViewModel::CommandPtr<json> OXLoginViewModel::registerCodeCommand() {
  return codeCommand(email, "REGISTER");
}
OXLoginViewModel::CommandPtr<json> OXLoginViewModel::resetCodeCommand() {
  return codeCommand(resetEmail, "RESET_PASSWORD");
}
OXLoginViewModel::CommandPtr<json> OXLoginViewModel::bindCodeCommand() {
  return codeCommand(email, "BIND_EMAIL");
}

}  // namespace gelmora::ui
