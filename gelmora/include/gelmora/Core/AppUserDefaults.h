#pragma once
// Typed accessors of the application's persistent settings. Every accessor reads or writes one
// key of the application's defaults domain; every write reaches the disk at once.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/defaults/Store.h"

struct HLNetLineNodeEntity;

class AppUserDefaults {
 public:
  // The accessor of the application's own domain (created on first use); the locator's
  // `defaults` entry.
  static AppUserDefaults& sharedInstance();

  // An accessor over the given store (tests, and the shared instance).
  explicit AppUserDefaults(std::shared_ptr<platform::defaults::Store> store);

  platform::defaults::Store& store() const { return *store_; }

  // Bools that read true until something is stored.
  bool autoLogin() const;
  void setAutoLogin(bool value);
  bool firstAccelerate() const;
  void setFirstAccelerate(bool value);
  bool firstInstall() const;
  void setFirstInstall(bool value);
  bool firstTopupPage() const;
  void setFirstTopupPage(bool value);
  // Bools that read false until something is stored.
  bool launchAtLogin() const;
  void setLaunchAtLogin(bool value);
  bool closeApp() const;
  void setCloseApp(bool value);
  bool agreedPolicy() const;
  void setAgreedPolicy(bool value);

  // Texts; none removes the key.
  std::optional<std::string> lastLoginUser() const;
  void setLastLoginUser(std::optional<std::string> value);
  std::optional<std::string> lastLoginCountryCode() const;
  void setLastLoginCountryCode(std::optional<std::string> value);
  std::optional<std::string> thirdLoginToken() const;
  void setThirdLoginToken(std::optional<std::string> value);
  std::optional<std::string> backgroundImageURL() const;
  void setBackgroundImageURL(std::optional<std::string> value);
  // JSON text of the signed-in session (holds the login token; the file is private).
  std::optional<std::string> sessionData() const;
  void setSessionData(std::optional<std::string> value);
  std::optional<std::string> gaParams() const;
  void setGaParams(std::optional<std::string> value);
  std::optional<std::string> recommendURL() const;
  void setRecommendURL(std::optional<std::string> value);

  // The chosen line and the default line (first of the latest line list), stored as the node's
  // JSON text. Absent, empty or not a JSON object reads as none; none removes the key.
  std::shared_ptr<HLNetLineNodeEntity> selectedNetNode() const;
  void setSelectedNetNode(const std::shared_ptr<HLNetLineNodeEntity>& node);
  std::shared_ptr<HLNetLineNodeEntity> defaultsNetNode() const;
  void setDefaultsNetNode(const std::shared_ptr<HLNetLineNodeEntity>& node);

  // Feedback page addresses. A non-empty stored address reads with the language and analytics
  // client id appended ("?lang=" when it has no query yet, else "&lang="; values URL-encoded);
  // the suffix is never stored. Absent or empty reads as stored.
  std::optional<std::string> loginFeedbackUrl() const;
  void setLoginFeedbackUrl(std::optional<std::string> value);
  std::optional<std::string> payFeedbackUrl() const;
  void setPayFeedbackUrl(std::optional<std::string> value);
  std::optional<std::string> endBoostFeedbackUrl() const;
  void setEndBoostFeedbackUrl(std::optional<std::string> value);
  std::optional<std::string> logoutFeedbackUrl() const;
  void setLogoutFeedbackUrl(std::optional<std::string> value);

  // Where the feedback suffix takes the analytics client id from; empty: the locator's analytics.
  void setClientIdProvider(std::function<std::string()> provider) {
    clientIdProvider_ = std::move(provider);
  }

 private:
  std::optional<std::string> feedbackUrl(const char* key) const;
  bool boolOr(const char* key, bool fallback) const;
  void setBool(const char* key, bool value);
  std::optional<std::string> text(const char* key) const;
  std::shared_ptr<HLNetLineNodeEntity> node(const char* key) const;
  void setNode(const char* key, const std::shared_ptr<HLNetLineNodeEntity>& node);
  void setText(const char* key, std::optional<std::string> value);

  std::shared_ptr<platform::defaults::Store> store_;
  std::function<std::string()> clientIdProvider_;
};
