#include "gelmora/Core/AppUserDefaults.h"

#include "gelmora/Core/BHAppPackage.h"

using platform::defaults::Store;

AppUserDefaults& AppUserDefaults::sharedInstance() {
  static AppUserDefaults instance(
      std::make_shared<Store>(Store::pathForDomain(Store::kApplicationDomain)));
  return instance;
}

AppUserDefaults& BHAppPackage::defaults() const { return AppUserDefaults::sharedInstance(); }

AppUserDefaults::AppUserDefaults(std::shared_ptr<Store> store) : store_(std::move(store)) {}

bool AppUserDefaults::boolOr(const char* key, bool fallback) const {
  return store_->boolValue(key).value_or(fallback);
}

void AppUserDefaults::setBool(const char* key, bool value) { store_->set(key, value); }

std::optional<std::string> AppUserDefaults::text(const char* key) const {
  return store_->textValue(key);
}

void AppUserDefaults::setText(const char* key, std::optional<std::string> value) {
  if (value) {
    store_->set(key, std::move(*value));
  } else {
    store_->remove(key);
  }
}

bool AppUserDefaults::autoLogin() const { return boolOr("autoLogin", true); }
void AppUserDefaults::setAutoLogin(bool v) { setBool("autoLogin", v); }
bool AppUserDefaults::firstAccelerate() const { return boolOr("firstAccelerate", true); }
void AppUserDefaults::setFirstAccelerate(bool v) { setBool("firstAccelerate", v); }
bool AppUserDefaults::firstInstall() const { return boolOr("firstInstall", true); }
void AppUserDefaults::setFirstInstall(bool v) { setBool("firstInstall", v); }
bool AppUserDefaults::firstTopupPage() const { return boolOr("firstTopupPage", true); }
void AppUserDefaults::setFirstTopupPage(bool v) { setBool("firstTopupPage", v); }
bool AppUserDefaults::launchAtLogin() const { return boolOr("launchAtLogin", false); }
void AppUserDefaults::setLaunchAtLogin(bool v) { setBool("launchAtLogin", v); }
bool AppUserDefaults::closeApp() const { return boolOr("closeApp", false); }
void AppUserDefaults::setCloseApp(bool v) { setBool("closeApp", v); }
bool AppUserDefaults::agreedPolicy() const { return boolOr("agreedPolicy", false); }
void AppUserDefaults::setAgreedPolicy(bool v) { setBool("agreedPolicy", v); }

std::optional<std::string> AppUserDefaults::lastLoginUser() const { return text("lastLoginUser"); }
void AppUserDefaults::setLastLoginUser(std::optional<std::string> v) {
  setText("lastLoginUser", std::move(v));
}
std::optional<std::string> AppUserDefaults::lastLoginCountryCode() const {
  return text("lastLoginCountryCode");
}
void AppUserDefaults::setLastLoginCountryCode(std::optional<std::string> v) {
  setText("lastLoginCountryCode", std::move(v));
}
std::optional<std::string> AppUserDefaults::thirdLoginToken() const {
  return text("thirdLoginToken");
}
void AppUserDefaults::setThirdLoginToken(std::optional<std::string> v) {
  setText("thirdLoginToken", std::move(v));
}
std::optional<std::string> AppUserDefaults::backgroundImageURL() const {
  return text("backgroundImageURL");
}
void AppUserDefaults::setBackgroundImageURL(std::optional<std::string> v) {
  setText("backgroundImageURL", std::move(v));
}
std::optional<std::string> AppUserDefaults::sessionData() const { return text("sessionData"); }
void AppUserDefaults::setSessionData(std::optional<std::string> v) {
  setText("sessionData", std::move(v));
}
std::optional<std::string> AppUserDefaults::gaParams() const { return text("gaParams"); }
void AppUserDefaults::setGaParams(std::optional<std::string> v) {
  setText("gaParams", std::move(v));
}
std::optional<std::string> AppUserDefaults::recommendURL() const { return text("recommendURL"); }
void AppUserDefaults::setRecommendURL(std::optional<std::string> v) {
  setText("recommendURL", std::move(v));
}
