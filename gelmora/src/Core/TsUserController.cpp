#include "gelmora/Core/TsUserController.h"

#include <cstdlib>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/General/Helper/FTWDevice.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Shared/Tessaryn.h"
#include "platform/keychain/Keychain.h"
#include "platform/reactive/Subject.h"

// The older parameter store joins the core library with the older service layer.
#if __has_include("gelmora/Service/Params/TsParams.h")
#include "gelmora/Service/Params/TsParams.h"
#define GELMORA_HAS_OLDER_PARAMS 1
#endif

using platform::reactive::Disposable;
using platform::reactive::Scheduler;
using platform::reactive::Unit;
namespace notifications = platform::notifications;

namespace {

void post(std::string_view name) { notifications::NotificationCenter::defaultCenter().post(name); }

// A call's signal carrying its mapped answer (an empty model when the call has none).
template <class C>
platform::reactive::Signal<typename C::RespType> sendCall(const std::shared_ptr<C>& call) {
  using R = typename C::RespType;
  // Mapped from the dictionary, not from the call, so the hooks hold no reference to the call.
  return RAC::rac_send(call).map([](const nlohmann::json& dict) {
    if (auto m = tq::fromDictionary<R>(dict)) return *m;
    return R{};
  });
}

int64_t intOf(const std::optional<tq::Number>& n, int64_t absent = 0) {
  return n ? n->intValue() : absent;
}

// The leading integer of a text, as the platform's integerValue reads it; 0 when there is none.
int64_t integerValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > (INT64_MAX - 9) / 10) break;  // saturate instead of overflowing
    v = v * 10 + (text[i] - '0');
  }
  return negative ? -v : v;
}

}  // namespace

TsUserController& TsUserController::sharedInstance() {
  static TsUserController instance(AppUserDefaults::sharedInstance());
  return instance;
}

TsUserController& BHAppPackage::user() const { return TsUserController::sharedInstance(); }

TsUserController::TsUserController(AppUserDefaults& defaults,
                                   platform::reactive::SchedulerPtr scheduler)
    : defaults_(defaults), scheduler_(scheduler ? scheduler : Scheduler::mainThread()) {}

TsUserController::~TsUserController() {
  alive_.reset();
  stopHeartBeat();
  subscriptions_.dispose();
}

// ---------------------------------------------------------------- session and status

void TsUserController::setSession(std::optional<GVTsSession> session) {
  session_ = std::move(session);
  if (!session_) return;
  session_->appVersion = app().version();
  session_->baseDomain = JVXDomain();
  session_->mac = mac();
  session_->fromChina = session_->userInfo && intOf(session_->userInfo->region) == 1;
}

std::string TsUserController::mac() const { return TQAPIConfig::sharedInstance().userIdentify(); }

std::string TsUserController::username() const {
  if (session_ && session_->userInfo && session_->userInfo->username)
    return *session_->userInfo->username;
  return {};
}

std::optional<int64_t> TsUserController::uid() const {
  if (session_ && session_->userInfo && session_->userInfo->uid)
    return session_->userInfo->uid->intValue();
  return std::nullopt;
}

int64_t TsUserController::checkStatus() const {
  if (!session_) return TsUserStatusNone;
  const auto& info = session_->userInfo;
  if (info && intOf(info->account_status) == 2) return TsUserStatusDisabled;
  if (isFirstLogin()) return TsUserStatusFirstLogin;
  if (info && intOf(info->expired) == 1) return TsUserStatusExpired;
  return TsUserStatusNormal;
}

void TsUserController::updateStatus(bool postChange) {
  int64_t s = checkStatus();
  if (s != status_ && postChange) {
    status_ = s;
    post(TsUserStateChangedNotification);
  }
  status_ = s;
}

void TsUserController::setOnline(bool postChange) {
  if (postChange) updateStatus(true);
  startHeartBeat();
  saveSession();
}

void TsUserController::setOffline(bool postChange) {
  clearSession();
  updateStatus(postChange);
  stopHeartBeat();
}

void TsUserController::kickOff() { setOffline(true); }

// ---------------------------------------------------------------- sign-in

void TsUserController::checkIsRegisterWith(const JVX_USER_INFO& info) {
  if (intOf(info.first_login) == 1) post(TsUserRegisterGANotification);
}

void TsUserController::showPhoneBind() { post(TsUserPhoneBindNotification); }

void TsUserController::finishFirstLoginAuth(const std::string& phone) {
  platform::keychain::setPassword("1", kFirstLoginService, phone);
}

void TsUserController::onSignedIn(const JVX_USER_INFO& info, const std::string& username,
                                  const std::string& countryCode, const std::string& password,
                                  bool rememberAccount) {
  checkIsRegisterWith(info);
  setSession(GVTsSession::initWithUserInfo(info));
  if (session_) session_->mac = mac();
  if (!username.empty()) {
    defaults_.setThirdLoginToken(std::string());
    if (rememberAccount) {
      defaults_.setLastLoginUser(username);
      defaults_.setLastLoginCountryCode(countryCode);
      savePassword(password);
    }
  }
  if (intOf(info.real_name_verification) == 1) {
    setOnline(true);
    fetchFeedbackList();
  } else {
    showPhoneBind();
  }
}

TsUserController::Signal<JVX_USER_INFO> TsUserController::signinWithPhone(
    const std::string& username, const std::string& countryCode, const std::string& password,
    bool rememberAccount) {
  return signinWithPhone(username, countryCode, password, std::nullopt, rememberAccount);
}

TsUserController::Signal<JVX_USER_INFO> TsUserController::signinWithPhone(
    const std::string& username, const std::string& countryCode, const std::string& password,
    const std::optional<std::string>& token, bool rememberAccount) {
  auto call = std::make_shared<JVX_API_USER_LOGIN>();
  auto& req = call->req();
  if (token && !token->empty()) {
    req.token = *token;
  } else {
    req.username = username;
    req.password = password;
  }
  req.mac = mac();
  req.os_version = FTWDevice::currentDevice().systemVersion();
  req.system = FTWDevice::currentDevice().systemName();
  req.system_plat = "pc";
  req.client_version = app().version();
  req.country_code = countryCode;
  status_ = TsUserStatusNone;

  std::weak_ptr<bool> alive = alive_;
  return sendCall(call).doNext(
      [this, alive, username, countryCode, password, rememberAccount](const JVX_USER_INFO& info) {
        if (alive.expired()) return;
        onSignedIn(info, username, countryCode, password, rememberAccount);
      });
}

TsUserController::Signal<JVX_USER_INFO> TsUserController::signinWithPhone(
    const std::string& phone, const std::string& countryCode, const TsSmsCode& smsCode,
    bool silence) {
  loginType_ = TsUserLoginTypePhoneSms;
  auto call = std::make_shared<JVX_API_USER_SMS_LOGIN>();
  auto& req = call->req();
  req.phone = phone;
  req.country_code = integerValue(countryCode);
  req.verify_code = smsCode.code;
  req.mac = mac();
  req.os_version = FTWDevice::currentDevice().systemVersion();
  req.system = FTWDevice::currentDevice().systemName();
  req.system_plat = "mobile";
  req.client_version = app().version();
  call->setSilence(silence);

  std::weak_ptr<bool> alive = alive_;
  return sendCall(call).doNext([this, alive, phone, countryCode](const JVX_USER_INFO& info) {
    if (alive.expired()) return;
    checkIsRegisterWith(info);
    setSession(GVTsSession::initWithUserInfo(info));
    if (session_) session_->mac = mac();
    defaults_.setLastLoginUser(phone);
    defaults_.setLastLoginCountryCode(countryCode);
    setOnline(true);
    fetchFeedbackList();
  });
}

void TsUserController::trySignin() {
  loadSession();
  if (!session_ || !session_->userInfo || !session_->userInfo->login_token ||
      session_->userInfo->login_token->empty())
    return;
  loginType_ = TsUserLoginTypeToken;
  std::string token = *session_->userInfo->login_token;
  std::weak_ptr<bool> alive = alive_;
  subscriptions_.add(signinWithPhone("", "", "", token, false)
                         .subscribeError([this, alive](const platform::reactive::Error& e) {
                           if (alive.expired()) return;
                           // Only the service's refusal of the token ends the stored session; a
                           // network or local failure keeps it for the next start.
                           if (e.domain == TQAPIServerErrorDomain) {
                             kickOff();
                           } else {
                             gelmora::logLine("token sign-in failed (" + e.domain +
                                              "), stored session kept");
                           }
                         }));
}

// ---------------------------------------------------------------- registration and reset

TsUserController::Signal<JVX_RESP_USER_REGISTER> TsUserController::registerWithPhone(
    const std::string& phone, const std::string& countryCode, const std::string& password,
    const std::string& code) {
  setSession(std::nullopt);
  auto call = std::make_shared<JVX_API_USER_REGISTER>();
  call->req().phone = phone;
  call->req().country_code = countryCode;
  call->req().password = password;
  call->req().code = code;
  std::weak_ptr<bool> alive = alive_;
  return sendCall(call).doNext([this, alive, phone](const JVX_RESP_USER_REGISTER& r) {
    if (alive.expired()) return;
    finishFirstLoginAuth(phone);
    int64_t accountStatus = intOf(r.account_status, -1);
    if (accountStatus == 0) post(TsUserRegisterSuccessNotification);
    if (accountStatus == 2) {
      status_ = TsUserStatusDisabled;
      post(TsUserStateChangedNotification);
    }
  });
}

TsUserController::Signal<JVX_USER_INFO> TsUserController::registerWithEmail(
    const std::string& mail, const std::string& password, const std::string& code) {
  setSession(std::nullopt);
  auto call = std::make_shared<JVX_API_USER_MAIL_REGISTER_NEW>();
  call->req().mail = mail;
  call->req().code = code;
  call->req().password = password;
  call->req().platform = "MAC";
  return sendCall(call).doNext(
      [](const JVX_USER_INFO&) { post(TsUserRegisterSuccessNotification); });
}

TsUserController::Signal<Unit> TsUserController::resetPassWithPhone(const std::string& phone,
                                                                    const std::string& countryCode,
                                                                    const std::string& password,
                                                                    const std::string& code) {
  auto call = std::make_shared<JVX_API_USER_RESET_PASSWORD>();
  call->req().phone = phone;
  call->req().country_code = countryCode;
  call->req().password = password;
  call->req().code = code;
  return RAC::rac_send(call).ignoreValues().doCompleted(
      [] { post(TsUserResetPasswordNotification); });
}

TsUserController::Signal<Unit> TsUserController::resetPassWithEmail(const std::string& mail,
                                                                    const std::string& password,
                                                                    const std::string& code) {
  auto call = std::make_shared<JVX_API_USER_MAIL_RESET_PASSWORD>();
  call->req().code = code;
  call->req().password = password;
  call->req().mail = mail;
  return RAC::rac_send(call).ignoreValues().doCompleted(
      [] { post(TsUserResetPasswordNotification); });
}

TsUserController::Signal<JVX_RESP_USER_FIRST_LOGIN> TsUserController::verifyFirstLoginCode(
    const std::string& code) {
  auto call = std::make_shared<JVX_API_USER_FIRST_LOGIN>();
  std::string phone;
  if (session_ && session_->userInfo) {
    phone = session_->userInfo->phone_number.value_or("");
    if (session_->userInfo->country_code)
      call->req().country_code = std::to_string(session_->userInfo->country_code->intValue());
  }
  call->req().phone = phone;
  call->req().code = code;
  std::weak_ptr<bool> alive = alive_;
  return sendCall(call).doNext([this, alive, phone](const JVX_RESP_USER_FIRST_LOGIN& r) {
    if (alive.expired()) return;
    if (r.verified && r.verified->intValue() == 0) {
      finishFirstLoginAuth(phone);
      updateStatus(true);
    }
  });
}

// ---------------------------------------------------------------- stored login

std::string TsUserController::autoLoginAccount() const {
  // Country code and user name run together, as the item has always been named.
  return defaults_.lastLoginCountryCode().value_or("") + defaults_.lastLoginUser().value_or("");
}

void TsUserController::savePassword(const std::string& password) {
  auto user = defaults_.lastLoginUser();
  if (!user || user->empty() || !defaults_.lastLoginCountryCode() || password.empty()) return;
  platform::keychain::setPassword(password, kAutoLoginService, autoLoginAccount());
}

std::optional<std::string> TsUserController::loadPassword() const {
  auto user = defaults_.lastLoginUser();
  if (!user || user->empty() || !defaults_.lastLoginCountryCode()) return std::nullopt;
  return platform::keychain::password(kAutoLoginService, autoLoginAccount());
}

void TsUserController::clearPassword() {
  platform::keychain::deletePassword(kAutoLoginService, autoLoginAccount());
}

// ---------------------------------------------------------------- profile and heartbeat

void TsUserController::refreshUserProfile() {
  auto call = std::make_shared<JVX_API_USER_PROFILE>();
  call->req().mac = mac();
  if (auto id = uid()) call->req().uid = *id;
  std::weak_ptr<bool> alive = alive_;
  subscriptions_.add(sendCall(call).subscribeNext([this, alive](const JVX_USER_INFO& info) {
    if (alive.expired()) return;
    auto current = uid();
    // An answer about somebody else (or after sign-out) must not replace the account.
    if (!current || !info.uid || info.uid->intValue() != *current) return;
    session_->userInfo = info;
    saveSession();
    post(TsUserInfoChangedNotification);
  }));
}

void TsUserController::startHeartBeat() {
  if (heartBeatDisposable_) stopHeartBeat();
  using namespace std::chrono;
  std::weak_ptr<bool> alive = alive_;
  auto ticks =
      platform::reactive::interval(
          duration_cast<platform::reactive::Duration>(duration<double>(kHeartBeatInterval)),
          scheduler_)
          .takeWhile([this, alive](const platform::reactive::TimePoint&) {
            return !alive.expired() && online();
          });
  heartBeatDisposable_ = ticks.subscribeNext([this, alive](const platform::reactive::TimePoint&) {
    if (alive.expired()) return;
    subscriptions_.add(doHeartBeatOnce().subscribeCompleted([] {}));
  });
}

void TsUserController::stopHeartBeat() {
  if (heartBeatDisposable_) heartBeatDisposable_->dispose();
  heartBeatDisposable_.reset();
}

TsUserController::Signal<JVX_RESP_USER_HEARTBEAT> TsUserController::doHeartBeatOnce() {
  auto call = std::make_shared<JVX_API_USER_HEARTBEAT>();
  call->req().mac = mac();
  if (auto id = uid()) call->req().uid = *id;
  call->setSilence(true);
  std::weak_ptr<bool> alive = alive_;
  return sendCall(call).doNext([this, alive](const JVX_RESP_USER_HEARTBEAT& r) {
    if (alive.expired() || !session_ || !session_->userInfo) return;
    session_->userInfo->rest_traffic = r.rest_traffic;
  });
}

TsUserController::Signal<JVX_RESP_USER_LOGOUT> TsUserController::resign() {
  post(TsUserWillResignNotification);
  auto call = std::make_shared<JVX_API_USER_LOGOUT>();
  call->req().mac = mac();
  if (auto id = uid()) call->req().uid = *id;
  std::weak_ptr<bool> alive = alive_;
  // The sign-out belongs to the controller, not to whoever asked: a window that goes away
  // before the answer stops hearing of it, but the session is cleared all the same.
  platform::reactive::ReplaySubject<JVX_RESP_USER_LOGOUT> outcome;
  subscriptions_.add(sendCall(call)
                         .finally([this, alive] {
                           if (alive.expired()) return;
                           setOffline(true);
                           clearLoginInfo();
                         })
                         .subscribe(outcome.observer()));
  return outcome.signal();
}

// ---------------------------------------------------------------- persistence

void TsUserController::saveSession() {
  if (!session_) return;
  if (session_->userInfo && intOf(session_->userInfo->real_name_verification) == 0)
    session_->userInfo->login_token = std::string();
  defaults_.setSessionData(tq::toJSON(*session_));
#ifdef GELMORA_HAS_OLDER_PARAMS
  // The older service layer keeps the user name, expiry, uid and package of the login.
  if (session_->userInfo)
    TsParams::updateWithLoginReturnObject({{"data", tq::toDictionary(*session_->userInfo)}});
#endif
}

std::optional<GVTsSession> TsUserController::sessionFromStoredData(std::string_view text) {
  if (text.empty()) return std::nullopt;
  TQError error;
  auto session = tq::fromJSON<GVTsSession>(text, &error);
  if (!session) gelmora::logLine("stored session unreadable: " + error.description);
  return session;
}

void TsUserController::loadSession() {
  auto text = defaults_.sessionData();
  if (!text) return;
  if (auto session = sessionFromStoredData(*text)) setSession(std::move(session));
}

void TsUserController::clearSession() {
  setSession(std::nullopt);
  defaults_.setSessionData(std::nullopt);
  defaults_.setThirdLoginToken(std::string());
  defaults_.setPayFeedbackUrl(std::string());
  defaults_.setEndBoostFeedbackUrl(std::string());
}

void TsUserController::fetchFeedbackList() {
  auto call = std::make_shared<JVX_API_FEEDBACK_LIST>();
  call->req().pid = "oxla";
  call->req().version = app().version();
  call->req().platform = "mac";
  if (auto id = uid()) call->req().uid = std::to_string(*id);
  call->setSilence(true);
  AppUserDefaults* defaults = &defaults_;
  subscriptions_.add(sendCall(call).subscribe({[defaults](const JVX_RESP_FEEDBACK_LIST& r) {
                                                 defaults->setLoginFeedbackUrl(r.login);
                                                 defaults->setPayFeedbackUrl(r.pay);
                                                 defaults->setEndBoostFeedbackUrl(r.end);
                                                 defaults->setLogoutFeedbackUrl(r.logout);
                                                 if (r.login && !r.login->empty())
                                                   post(TsUserLoginFeedbackNotification);
                                               },
                                               [](const platform::reactive::Error&) {}, nullptr}));
}

// ---------------------------------------------------------------- login code

std::string TsUserController::loginCodeText() const {
  auto id = uid();
  return "system_name=macOS&os_version=" + TsSystemInformation::clientVersion() +
         "&client_version=" + app().version() + "&system_plat=pc&mac=" + mac() +
         "&uid=" + (id ? std::to_string(*id) : std::string()) +
         "&language=" + app().language().value_or("");
}

std::string TsUserController::loginCode() const {
  return Tessaryn::urlEncode(Tessaryn::encryptedStringOfString(loginCodeText()));
}
