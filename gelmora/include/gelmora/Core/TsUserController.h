#pragma once
// The one signed-in user: the session with its account, the status, how the user signed in, the
// start-up values, every sign-in route, registration, the stored login, the profile refresh, the
// heartbeat, sign-out and the session kept in the user defaults. Main thread only.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Galvent/Models/GVTsSession.h"
#include "JolvexAPI/JolvexSchemaModels.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Scheduler.h"
#include "platform/reactive/Signal.h"

class AppUserDefaults;

enum TsUserStatus : int64_t {
  TsUserStatusNone = 0,
  TsUserStatusDisabled = 1,
  TsUserStatusFirstLogin = 2,
  TsUserStatusExpired = 3,
  TsUserStatusNormal = 4,
};

inline constexpr const char* TsUserLoginTypeToken = "token";
inline constexpr const char* TsUserLoginTypeEmail = "email";
inline constexpr const char* TsUserLoginTypePhonePassword = "phone";
inline constexpr const char* TsUserLoginTypePhoneSms = "PhoneSms";
inline constexpr const char* TsUserLoginTypeWeChat = "wechat";
inline constexpr const char* TsUserLoginTypeQQ = "qq";
inline constexpr const char* TsUserLoginTypeGoogle = "google";
inline constexpr const char* TsUserLoginTypeTwitter = "twitter";
inline constexpr const char* TsUserLoginTypeInstagram = "instagram";
inline constexpr const char* TsUserLoginTypeFacebook = "facebook";
inline constexpr const char* TsUserLoginTypeLine = "line";
inline constexpr const char* TsUserLoginTypeKakao = "kakao";

PLATFORM_NOTIFICATION_NAME(TsUserStateChangedNotification);
PLATFORM_NOTIFICATION_NAME(TsUserWillResignNotification);
PLATFORM_NOTIFICATION_NAME(TsUserInfoChangedNotification);
PLATFORM_NOTIFICATION_NAME(TsUserLoginFeedbackNotification);
PLATFORM_NOTIFICATION_NAME(TsUserRegisterGANotification);
PLATFORM_NOTIFICATION_NAME(TsUserRegisterSuccessNotification);
PLATFORM_NOTIFICATION_NAME(TsUserResetPasswordNotification);
PLATFORM_NOTIFICATION_NAME(TsUserPhoneBindNotification);
PLATFORM_NOTIFICATION_NAME(TsUserFeedbackNotification);
PLATFORM_NOTIFICATION_NAME(TsUserCenterTopupNotification);
PLATFORM_NOTIFICATION_NAME(TsUserSNSInfoChangedNotification);
PLATFORM_NOTIFICATION_NAME(TsUserVerifyPhoneSuccessNotification);
PLATFORM_NOTIFICATION_NAME(TsUserBindPhoneSuccessNotification);
PLATFORM_NOTIFICATION_NAME(TsUserUnbindPhoneSuccessNotification);

struct TsSmsCode {
  std::string code;
};

class TsUserController {
 public:
  template <class T>
  using Signal = platform::reactive::Signal<T>;
  using Unit = platform::reactive::Unit;

  // Keychain items of the stored login.
  static constexpr const char* kAutoLoginService = "AutoLoginKey";
  static constexpr const char* kFirstLoginService = "FirstLoginKey";
  static constexpr double kHeartBeatInterval = 120.0;

  // The one controller of the process (on the shared defaults and the main-thread scheduler).
  static TsUserController& sharedInstance();

  // A controller on the given defaults; its heartbeat ticks on `scheduler`.
  explicit TsUserController(AppUserDefaults& defaults,
                            platform::reactive::SchedulerPtr scheduler = nullptr);
  ~TsUserController();
  TsUserController(const TsUserController&) = delete;
  TsUserController& operator=(const TsUserController&) = delete;

  // --- session and status ---
  const std::optional<GVTsSession>& session() const { return session_; }
  std::optional<GVTsSession>& mutableSession() { return session_; }
  void setSession(std::optional<GVTsSession> session);
  int64_t status() const { return status_; }
  bool online() const { return session_.has_value(); }
  // The device identifier of the REST configuration, read anew each time.
  std::string mac() const;
  const std::string& loginType() const { return loginType_; }
  void setLoginType(std::string type) { loginType_ = std::move(type); }
  // The signed-in user's name, empty when there is none.
  std::string username() const;
  // The signed-in user's uid, when the session's account has one.
  std::optional<int64_t> uid() const;

  int64_t checkStatus() const;
  void updateStatus(bool post);
  void setOnline(bool post);
  void setOffline(bool post);
  void kickOff();

  // --- sign-in and registration ---
  void trySignin();
  Signal<JVX_USER_INFO> signinWithPhone(const std::string& username, const std::string& countryCode,
                                        const std::string& password, bool rememberAccount);
  Signal<JVX_USER_INFO> signinWithPhone(const std::string& username, const std::string& countryCode,
                                        const std::string& password,
                                        const std::optional<std::string>& token,
                                        bool rememberAccount);
  // The SMS route (the code wrapped, since the password route takes the same texts).
  Signal<JVX_USER_INFO> signinWithPhone(const std::string& phone, const std::string& countryCode,
                                        const TsSmsCode& smsCode, bool silence);
  Signal<JVX_RESP_USER_REGISTER> registerWithPhone(const std::string& phone,
                                                   const std::string& countryCode,
                                                   const std::string& password,
                                                   const std::string& code);
  Signal<JVX_USER_INFO> registerWithEmail(const std::string& mail, const std::string& password,
                                          const std::string& code);
  Signal<Unit> resetPassWithPhone(const std::string& phone, const std::string& countryCode,
                                  const std::string& password, const std::string& code);
  Signal<Unit> resetPassWithEmail(const std::string& mail, const std::string& password,
                                  const std::string& code);
  Signal<JVX_RESP_USER_FIRST_LOGIN> verifyFirstLoginCode(const std::string& code);

  void checkIsRegisterWith(const JVX_USER_INFO& info);
  void showPhoneBind();
  void finishFirstLoginAuth(const std::string& phone);
  bool isFirstLogin() const { return false; }

  // --- stored login ---
  void savePassword(const std::string& password);
  std::optional<std::string> loadPassword() const;
  void clearPassword();
  void clearLoginInfo() { clearPassword(); }

  // --- profile, heartbeat, sign-out, persistence ---
  void refreshUserProfile();
  void startHeartBeat();
  void stopHeartBeat();
  bool heartBeatRunning() const { return heartBeatDisposable_.has_value(); }
  Signal<JVX_RESP_USER_HEARTBEAT> doHeartBeatOnce();
  // Signs out: the call starts now; at its end, answered or failed, the session and stored login
  // are cleared whether or not anyone still listens. The signal replays that end.
  Signal<JVX_RESP_USER_LOGOUT> resign();
  void saveSession();
  void loadSession();
  // The session of a stored `sessionData` text; none for a text that is not a session object.
  static std::optional<GVTsSession> sessionFromStoredData(std::string_view text);
  void clearSession();
  void fetchFeedbackList();

  // --- start-up values ---
  bool payable() const { return payable_; }
  void setPayable(bool v) { payable_ = v; }
  bool enableIAP() const { return enableIAP_; }
  void setEnableIAP(bool v) { enableIAP_ = v; }
  const std::optional<std::string>& newsTitle() const { return newsTitle_; }
  void setNewsTitle(std::optional<std::string> v) { newsTitle_ = std::move(v); }
  const std::optional<std::string>& newsLink() const { return newsLink_; }
  void setNewsLink(std::optional<std::string> v) { newsLink_ = std::move(v); }
  const std::optional<nlohmann::json>& pictureNews() const { return pictureNews_; }
  void setPictureNews(std::optional<nlohmann::json> v) { pictureNews_ = std::move(v); }

  // The enciphered, URL-encoded login code appended to the service's web pages.
  std::string loginCode() const;
  // The plain text the login code enciphers.
  std::string loginCodeText() const;

 private:
  std::string autoLoginAccount() const;
  void onSignedIn(const JVX_USER_INFO& info, const std::string& username,
                  const std::string& countryCode, const std::string& password,
                  bool rememberAccount);

  AppUserDefaults& defaults_;
  platform::reactive::SchedulerPtr scheduler_;
  std::optional<GVTsSession> session_;
  int64_t status_ = TsUserStatusNone;
  std::string loginType_;
  bool payable_ = false;
  bool enableIAP_ = false;
  std::optional<std::string> newsTitle_;
  std::optional<std::string> newsLink_;
  std::optional<nlohmann::json> pictureNews_;
  std::optional<platform::reactive::Disposable> heartBeatDisposable_;
  // Subscriptions the controller made itself; ended with it.
  platform::reactive::CompositeDisposable subscriptions_;
  // Tells hooks of signals that outlive the controller that it is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
