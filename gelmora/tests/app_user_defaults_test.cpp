#include <gtest/gtest.h>

#include <functional>

#include "TestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"

using platform::defaults::Store;

namespace {

class AppUserDefaultsTest : public ::testing::Test {
 protected:
  std::shared_ptr<Store> store() { return std::make_shared<Store>(dir_.path() / "defaults.json"); }
  TempDir dir_;
};

struct BoolKey {
  const char* key;
  bool fresh;
  std::function<bool(const AppUserDefaults&)> get;
  std::function<void(AppUserDefaults&, bool)> set;
};

const std::vector<BoolKey>& boolKeys() {
  static const std::vector<BoolKey> keys = {
      {"autoLogin", true, &AppUserDefaults::autoLogin, &AppUserDefaults::setAutoLogin},
      {"firstAccelerate", true, &AppUserDefaults::firstAccelerate,
       &AppUserDefaults::setFirstAccelerate},
      {"firstInstall", true, &AppUserDefaults::firstInstall, &AppUserDefaults::setFirstInstall},
      {"firstTopupPage", true, &AppUserDefaults::firstTopupPage,
       &AppUserDefaults::setFirstTopupPage},
      {"launchAtLogin", false, &AppUserDefaults::launchAtLogin, &AppUserDefaults::setLaunchAtLogin},
      {"closeApp", false, &AppUserDefaults::closeApp, &AppUserDefaults::setCloseApp},
      {"agreedPolicy", false, &AppUserDefaults::agreedPolicy, &AppUserDefaults::setAgreedPolicy},
  };
  return keys;
}

struct TextKey {
  const char* key;
  std::function<std::optional<std::string>(const AppUserDefaults&)> get;
  std::function<void(AppUserDefaults&, std::optional<std::string>)> set;
};

const std::vector<TextKey>& textKeys() {
  static const std::vector<TextKey> keys = {
      {"lastLoginUser", &AppUserDefaults::lastLoginUser, &AppUserDefaults::setLastLoginUser},
      {"lastLoginCountryCode", &AppUserDefaults::lastLoginCountryCode,
       &AppUserDefaults::setLastLoginCountryCode},
      {"thirdLoginToken", &AppUserDefaults::thirdLoginToken, &AppUserDefaults::setThirdLoginToken},
      {"backgroundImageURL", &AppUserDefaults::backgroundImageURL,
       &AppUserDefaults::setBackgroundImageURL},
      {"sessionData", &AppUserDefaults::sessionData, &AppUserDefaults::setSessionData},
      {"gaParams", &AppUserDefaults::gaParams, &AppUserDefaults::setGaParams},
      {"recommendURL", &AppUserDefaults::recommendURL, &AppUserDefaults::setRecommendURL},
  };
  return keys;
}

TEST_F(AppUserDefaultsTest, FreshInstallationReadsTheDefaults) {
  AppUserDefaults defaults(store());
  for (const auto& k : boolKeys()) EXPECT_EQ(k.get(defaults), k.fresh) << k.key;
  for (const auto& k : textKeys()) EXPECT_EQ(k.get(defaults), std::nullopt) << k.key;
}

TEST_F(AppUserDefaultsTest, StoredValuesWinOverDefaultsAndReachTheDisk) {
  {
    AppUserDefaults defaults(store());
    for (const auto& k : boolKeys()) k.set(defaults, !k.fresh);
    for (const auto& k : textKeys()) k.set(defaults, std::string("value of ") + k.key);
  }
  // A second accessor on a fresh store reads what the first wrote, under the same keys.
  auto second = store();
  AppUserDefaults defaults(second);
  for (const auto& k : boolKeys()) {
    EXPECT_EQ(k.get(defaults), !k.fresh) << k.key;
    EXPECT_EQ(second->get(k.key), platform::defaults::Value(!k.fresh)) << k.key;
  }
  for (const auto& k : textKeys()) {
    EXPECT_EQ(k.get(defaults), std::string("value of ") + k.key) << k.key;
  }
}

TEST_F(AppUserDefaultsTest, SettingNoneRemovesTheKey) {
  auto s = store();
  AppUserDefaults defaults(s);
  for (const auto& k : textKeys()) {
    k.set(defaults, std::string("x"));
    ASSERT_TRUE(s->contains(k.key)) << k.key;
    k.set(defaults, std::nullopt);
    EXPECT_FALSE(s->contains(k.key)) << k.key;
    EXPECT_EQ(k.get(defaults), std::nullopt) << k.key;
  }
  // The empty text is a value, not a removal.
  defaults.setGaParams(std::string());
  EXPECT_EQ(defaults.gaParams(), std::string());
}

TEST_F(AppUserDefaultsTest, ValuesWrittenByOtherKindsAreReadLeniently) {
  auto s = store();
  s->set("autoLogin", std::int64_t{0});
  s->set("launchAtLogin", std::string("YES"));
  s->set("lastLoginCountryCode", std::int64_t{86});
  AppUserDefaults defaults(s);
  EXPECT_FALSE(defaults.autoLogin());
  EXPECT_TRUE(defaults.launchAtLogin());
  EXPECT_EQ(defaults.lastLoginCountryCode(), "86");
}

}  // namespace
