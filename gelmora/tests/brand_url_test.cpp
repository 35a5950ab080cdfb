// The brand's top-up and order page addresses and the feedback page suffix, on the process-wide
// user controller, defaults and analytics service (in this test's own settings folder).
#include <gtest/gtest.h>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"

namespace {

class BrandUrl : public ::testing::Test {
 protected:
  void SetUp() override {
    AppEnvironment::setCurrentEnvironment(std::make_shared<AppOxlaEnvironment>());
    app().defaults().setGaParams(std::nullopt);
    app().setLanguage(std::string("zh-TW"));
  }
  void TearDown() override {
    app().defaults().setGaParams(std::nullopt);
    app().setLanguage(std::nullopt);
    app().user().setSession(std::nullopt);
  }
  // The login code is scrambled afresh on each read: compare it as "CODE".
  static std::string masked(std::string url) {
    auto at = url.find("logincode=");
    if (at == std::string::npos) return url;
    at += 10;
    auto end = url.find('&', at);
    if (end == std::string::npos) end = url.size();
    EXPECT_GT(end, at);
    return url.replace(at, end - at, "CODE");
  }
  static std::string prefix(const char* page) {
    return std::string("http://www.oxla.example/in-app/") + page;
  }
};

TEST_F(BrandUrl, TopupWithAndWithoutAnalyticsParameters) {
  EXPECT_EQ(masked(app().env()->TopupURL()),
            prefix("package") + "?is_pc=1&logincode=CODE&lang=zh-TW");
  app().defaults().setGaParams(std::string("GA1.2.345"));
  EXPECT_EQ(masked(app().env()->TopupURL()),
            prefix("package") + "?is_pc=1&logincode=CODE&_ga=GA1.2.345&lang=zh-TW");
  app().defaults().setGaParams(std::string(""));
  EXPECT_EQ(app().env()->TopupURL().find("_ga"), std::string::npos);
}

TEST_F(BrandUrl, OrderPageItemsInOrder) {
  std::string url = app().env()->OrderURL();
  auto logincode = url.find("?logincode="), lang = url.find("&lang=zh-TW"), ga = url.find("&_ga=");
  ASSERT_EQ(url.rfind(prefix("orders"), 0), 0u);
  ASSERT_NE(logincode, std::string::npos);
  ASSERT_NE(lang, std::string::npos);
  ASSERT_NE(ga, std::string::npos);
  EXPECT_LT(logincode, lang);
  EXPECT_LT(lang, ga);
  EXPECT_NE(url.find("client_mac_posix_", ga), std::string::npos);
}

TEST_F(BrandUrl, ValuesCannotAddOrCutQueryItems) {
  app().defaults().setGaParams(std::string("a&b=c#d"));
  app().setLanguage(std::string("x&y"));
  std::string topup = app().env()->TopupURL();
  EXPECT_NE(topup.find("&_ga=a%26b%3Dc%23d&lang=x%26y"), std::string::npos) << topup;
  EXPECT_EQ(topup.find('#'), std::string::npos);
  std::string order = app().env()->OrderURL();
  EXPECT_NE(order.find("&lang=x%26y&_ga=a%26b%3Dc%23d"), std::string::npos) << order;
  EXPECT_EQ(order.find('#'), std::string::npos);
  // Missing values are empty texts.
  app().defaults().setGaParams(std::nullopt);
  app().setLanguage(std::nullopt);
  EXPECT_NE(app().env()->TopupURL().find("&lang="), std::string::npos);
}

TEST_F(BrandUrl, FeedbackSuffix) {
  auto& d = app().defaults();
  d.setGaParams(std::string("GA1"));
  struct Case {
    const char* stored;
    const char* read;
  } cases[] = {
      {"http://fb.example/form?id=3", "http://fb.example/form?id=3&lang=zh-TW&_ga=GA1"},
      {"http://fb.example/form", "http://fb.example/form?lang=zh-TW&_ga=GA1"},
      {"http://fb.example/form?id=3#top", "http://fb.example/form?id=3&lang=zh-TW&_ga=GA1#top"},
      {"http://fb.example/form#a?b", "http://fb.example/form?lang=zh-TW&_ga=GA1#a?b"},
      {"", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    d.setLoginFeedbackUrl(std::string(c.stored));
    d.setPayFeedbackUrl(std::string(c.stored));
    d.setEndBoostFeedbackUrl(std::string(c.stored));
    d.setLogoutFeedbackUrl(std::string(c.stored));
    EXPECT_EQ(d.loginFeedbackUrl(), c.read);
    EXPECT_EQ(d.payFeedbackUrl(), c.read);
    EXPECT_EQ(d.endBoostFeedbackUrl(), c.read);
    EXPECT_EQ(d.logoutFeedbackUrl(), c.read);
    // Never stored with the suffix.
    EXPECT_EQ(d.store().textValue("loginFeedbackUrl"), c.stored);
  }
  d.setLoginFeedbackUrl(std::string("http://fb.example/f"));
  app().setLanguage(std::string("ja"));
  EXPECT_EQ(d.loginFeedbackUrl(), "http://fb.example/f?lang=ja&_ga=GA1");
  d.setLoginFeedbackUrl(std::nullopt);
  EXPECT_FALSE(d.loginFeedbackUrl());
  EXPECT_FALSE(d.store().contains("loginFeedbackUrl"));
}

}  // namespace
