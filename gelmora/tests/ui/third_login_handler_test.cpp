// The outside-account page's messages, handed to the handler directly: what each stores, who gets
// signed in, what is shown and what the page does next.
#include "../SessionTestSupport.h"
#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "standin/AnalyticsCollector.h"
#include "ui/Sections/Login/TsThirdLoginHandler.h"

using nlohmann::json;

namespace {

class ThirdLoginHandlerTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_TRUE(collector.start());
    MeasurementProtocolClient::Configuration config;
    config.trackingId = "UA-TEST-1";
    config.endpoint = collector.url();
    analytics = std::make_unique<TsAnalyticsService>(
        *defaults, *user,
        std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
        scheduler, "h");
    defaults->setThirdLoginToken("old-token");
    user->setLoginType("google");
  }
  void TearDown() override {
    analytics.reset();
    collector.stop();
    SessionFixture::TearDown();
  }
  TsThirdLoginHandler handler(bool isBind) {
    TsThirdLoginHandler::Collaborators c;
    c.user = user.get();
    c.analytics = analytics.get();
    c.defaults = defaults.get();
    c.alert = [this](const std::string& t, const std::string& m) { alerts.emplace_back(t, m); };
    return TsThirdLoginHandler(isBind, std::move(c), [this] { ++dismissed; });
  }
  size_t loginEvents() {
    size_t n = 0;
    for (const auto& h : collector.hits()) n += h.get("el") == "login_channel_google";
    return n;
  }

  standin::AnalyticsCollector collector;
  std::unique_ptr<TsAnalyticsService> analytics;
  std::vector<std::pair<std::string, std::string>> alerts;
  int dismissed = 0;
};

json success(json account) { return json{{"code", 0}, {"data", account}}.dump(); }

TEST_F(ThirdLoginHandlerTest, MessagesThatSignNobodyIn) {
  const struct {
    const char* what;
    json data;
    int dismissed;
    bool alert;
  } rows[] = {
      {"number", json(5), 1, false},
      {"null", json(), 1, false},
      {"object, not text", json{{"code", 0}, {"data", accountPayload()}}, 1, false},
      {"array", json::array({1, 2}), 1, false},
      {"not JSON", json("{not json"), 0, false},
      {"JSON but not an object", json("[1,2]"), 0, false},
      {"over 1 MiB", json(std::string(TsThirdLoginHandler::kMaxMessageBytes + 1, ' ')), 0, false},
      {"success without data", json(R"({"code":0})"), 0, false},
      {"data not an object", json(R"({"code":"0","data":"x"})"), 0, false},
      {"failure code", json(R"({"code":1,"info":"denied"})"), 1, true},
      {"failure code as text", json(R"({"code":"7","info":"denied"})"), 1, true},
      {"huge code", json(R"({"code":1e300,"info":"denied"})"), 1, true},
      {"failure with info not text", json(R"({"code":2,"info":{"a":1}})"), 1, true},
  };
  for (const auto& r : rows) {
    dismissed = 0;
    alerts.clear();
    handler(false).userLoginSuccess(r.data);
    EXPECT_EQ(dismissed, r.dismissed) << r.what;
    EXPECT_EQ(!alerts.empty(), r.alert) << r.what;
    if (r.alert) {
      EXPECT_EQ(alerts[0].first, "提示");
    }
    EXPECT_EQ(defaults->thirdLoginToken(), std::optional<std::string>("old-token")) << r.what;
    EXPECT_FALSE(user->session().has_value()) << r.what;
  }
  settle();
  EXPECT_EQ(loginEvents(), 0u);
  EXPECT_EQ(user->status(), TsUserStatusNone);
}

TEST_F(ThirdLoginHandlerTest, VerifiedAccountSignsIn) {
  auto& a = account.addAccount({0, "kim", "", "", "", "", "", 10, false, 1});
  json payload = accountPayload({{"uid", a.uid}, {"auto_login_token", "T-1"}});
  // "code" absent counts as success.
  handler(false).userLoginSuccess(json{{"data", payload}}.dump());
  EXPECT_EQ(dismissed, 1);
  EXPECT_EQ(defaults->thirdLoginToken(), std::optional<std::string>("T-1"));
  ASSERT_TRUE(user->session() && user->session()->userInfo);
  EXPECT_EQ(user->uid(), a.uid);
  EXPECT_GE(user->status(), TsUserStatusExpired);
  EXPECT_EQ(count(TsUserPhoneBindNotification), 0u);
  EXPECT_TRUE(waitFor(account, "/q5client/user/profile", 1));
  EXPECT_TRUE(main.queue().runUntil([&] { return loginEvents() == 1; }));
}

TEST_F(ThirdLoginHandlerTest, UnverifiedAccountAsksForAPhone) {
  for (json rnv : {json(0), json()}) {
    json payload = accountPayload({{"auto_login_token", 42}});
    if (rnv.is_null())
      payload.erase("real_name_verification");
    else
      payload["real_name_verification"] = rnv;
    posted.clear();
    handler(false).userLoginSuccess(success(payload));
    EXPECT_EQ(count(TsUserPhoneBindNotification), 1u);
    EXPECT_EQ(user->status(), TsUserStatusNone);
    EXPECT_TRUE(user->session().has_value());
    // A token that is not text removes the stored one.
    EXPECT_FALSE(defaults->thirdLoginToken().has_value());
  }
  EXPECT_EQ(dismissed, 2);
  EXPECT_TRUE(main.queue().runUntil([&] { return loginEvents() == 2; }));
}

TEST_F(ThirdLoginHandlerTest, BindModeOnlyRefreshesTheProfile) {
  auto& a = account.addAccount({0, "kim", "", "", "", "", "", 10, false, 1});
  handler(true).userLoginSuccess(success(accountPayload({{"uid", a.uid}})));
  EXPECT_EQ(dismissed, 1);
  EXPECT_EQ(user->status(), TsUserStatusNone);
  EXPECT_EQ(count(TsUserPhoneBindNotification), 0u);
  EXPECT_TRUE(waitFor(account, "/q5client/user/profile", 1));
  EXPECT_TRUE(seen(feedback, "/api/v1/feedback/list").empty());
}

TEST_F(ThirdLoginHandlerTest, WrongKindsOfAccountFieldsDoNotCrash) {
  json payload = accountPayload({{"uid", "not a number"},
                                 {"real_name_verification", "1"},
                                 {"username", 12},
                                 {"expire_date", json::array()}});
  handler(false).userLoginSuccess(success(payload));
  EXPECT_EQ(dismissed, 1);
  settle();
}

TEST_F(ThirdLoginHandlerTest, ClientInfoHasFiveKeys) {
  json info = json::parse(handler(false).clientInfo());
  ASSERT_TRUE(info.is_object());
  EXPECT_EQ(info.size(), 5u);
  EXPECT_EQ(info["system"], "macOS");
  EXPECT_EQ(info["system_plat"], "pc");
  EXPECT_EQ(info["mac"], user->mac());
  EXPECT_EQ(info["client_version"], app().version());
  EXPECT_EQ(info["os_version"], app().version() + "." + app().buildVersion());
}

}  // namespace
