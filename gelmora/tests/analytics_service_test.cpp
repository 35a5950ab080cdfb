// Analytics hits as the collector stand-in receives them: parameters, client id, once-only
// pairs, order and the heartbeat in virtual time.
#include <chrono>

#include "SessionTestSupport.h"
#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "standin/AnalyticsCollector.h"

namespace {

using standin::AnalyticsHit;

class AnalyticsTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_TRUE(collector.start());
  }
  void TearDown() override {
    service.reset();
    collector.stop();
    SessionFixture::TearDown();
  }

  std::unique_ptr<MeasurementProtocolClient> client(std::string trackingId = "UA-TEST-1",
                                                    std::function<std::string()> screen = {}) {
    MeasurementProtocolClient::Configuration config;
    config.trackingId = std::move(trackingId);
    config.endpoint = collector.url();
    config.appVersion = "2.5.0";
    config.userLanguage = "zh-CN";
    config.screenSize = std::move(screen);
    return std::make_unique<MeasurementProtocolClient>(std::move(config),
                                                       tq::CurlTransport::shared());
  }
  void makeService() {
    service = std::make_unique<TsAnalyticsService>(*defaults, *user, client(), scheduler,
                                                   "www.test.example");
  }
  // Waits until the collector holds n hits and the client has nothing left to send.
  std::vector<AnalyticsHit> hits(size_t n) {
    EXPECT_TRUE(main.queue().runUntil(
        [&] { return collector.hits().size() >= n && service->client().pendingCount() == 0; }));
    return collector.hits();
  }
  static std::vector<std::pair<std::string, std::string>> kinds(
      const std::vector<AnalyticsHit>& hits) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& h : hits)
      out.emplace_back(h.get("t").value_or(""),
                       h.get(h.get("t") == "event" ? "ea" : "dp").value_or(""));
    return out;
  }

  standin::AnalyticsCollector collector;
  std::unique_ptr<TsAnalyticsService> service;
};

TEST_F(AnalyticsTest, EventAndPageViewParameters) {
  makeService();
  service->startup();
  service->acceleratePage();
  auto got = hits(2);
  ASSERT_EQ(got.size(), 2u);
  const auto& event = got[0];
  // The fixed head, in order, then the hit's own pairs.
  ASSERT_GE(event.pairs.size(), 6u);
  std::vector<std::string> head;
  for (size_t i = 0; i < 6; ++i) head.push_back(event.pairs[i].first);
  EXPECT_EQ(head, (std::vector<std::string>{"v", "tid", "cid", "an", "av", "ul"}));
  EXPECT_EQ(event.get("v"), "1");
  EXPECT_EQ(event.get("tid"), "UA-TEST-1");
  EXPECT_EQ(event.get("an"), "gelmora");
  EXPECT_EQ(event.get("av"), "2.5.0");
  EXPECT_EQ(event.get("ul"), "zh-CN");
  EXPECT_FALSE(event.get("sr"));
  EXPECT_EQ(event.get("t"), "event");
  EXPECT_EQ(event.get("ec"), "Client_Mac");
  EXPECT_EQ(event.get("ea"), "launch");
  // An empty label is sent as an empty value.
  EXPECT_EQ(event.get("el"), "");
  EXPECT_NE(event.body.find("&el=&"), std::string::npos);
  EXPECT_FALSE(event.get("cd3"));  // signed out

  const auto& page = got[1];
  EXPECT_EQ(page.get("t"), "pageview");
  EXPECT_EQ(page.get("dh"), "www.test.example");
  EXPECT_EQ(page.get("dp"), "/clientmac/acceleratepage");
  EXPECT_EQ(page.get("dt"), "Client Mac Accelerate Page");
  ASSERT_TRUE(page.get("z"));
  EXPECT_FALSE(page.get("z")->empty());
  EXPECT_EQ(page.get("z")->find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(AnalyticsTest, ClientIdentifier) {
  // Signed out: the time since 2001, fresh on each call; the client's id stays as set up.
  makeService();
  std::string fixed = service->client().userIdentifier();
  EXPECT_EQ(fixed.rfind("client_mac_posix_", 0), 0u);
  std::string tail = fixed.substr(17);
  ASSERT_NE(tail.find('.'), std::string::npos);
  EXPECT_EQ(tail.size() - tail.find('.') - 1, 6u);
  double seconds = std::stod(tail);
  double expected =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
      978307200.0;
  EXPECT_NEAR(seconds, expected, 60.0);

  // Signed in: the uid, in cd2 and cd3.
  signIn();
  EXPECT_EQ(service->cid(), "client_mac_uid_10001");
  service->loginWithType("email");
  auto got = hits(1);
  EXPECT_EQ(got[0].get("cd2"), "client_mac_uid_10001");
  EXPECT_EQ(got[0].get("cd3"), "10001");
  EXPECT_EQ(got[0].get("el"), "login_channel_email");
  EXPECT_EQ(got[0].get("cid"), fixed);

  // Stored analytics parameters win in every hit.
  collector.clear();
  defaults->setGaParams(std::string("GA1.2.3&x=#y"));
  service->memberPage();
  service->speed();
  got = hits(2);
  for (const auto& h : got) EXPECT_EQ(h.get("cd2"), "GA1.2.3&x=#y");
  defaults->setGaParams(std::string(""));
  EXPECT_EQ(service->cid(), "client_mac_uid_10001");
}

TEST_F(AnalyticsTest, ScreenSizeOnlyWithAProvider) {
  service = std::make_unique<TsAnalyticsService>(
      *defaults, *user, client("UA-TEST-1", [] { return "1440x900"; }), scheduler, "h");
  service->speed();
  EXPECT_EQ(hits(1)[0].get("sr"), "1440x900");
}

// The process-wide service may be touched before the brand environment is installed; its hits
// take the property, endpoint and screen size in force when they are sent.
TEST_F(AnalyticsTest, SharedServiceReadsTheEnvironmentAtEachHit) {
  struct Env : AppEnvironment {
    explicit Env(const std::string& url) {
      assign(kAnalyticsURL, url);
      assign(kAnalyticsTrackingID, "UA-SHARED-9");
    }
  };
  auto before = AppEnvironment::currentEnvironment();
  AppEnvironment::setCurrentEnvironment(nullptr);
  auto& shared = TsAnalyticsService::sharedInstance();
  shared.speed();
  EXPECT_EQ(shared.client().pendingCount(), 0u);

  AppEnvironment::setCurrentEnvironment(std::make_shared<Env>(collector.url()));
  shared.setScreenSizeProvider([] { return "1280x800"; });
  shared.speed();
  ASSERT_TRUE(main.queue().runUntil(
      [&] { return collector.hits().size() >= 1 && shared.client().pendingCount() == 0; }));
  auto got = collector.hits();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].get("tid"), "UA-SHARED-9");
  EXPECT_EQ(got[0].get("sr"), "1280x800");
  EXPECT_EQ(got[0].get("ea"), "accelerate_success");
  AppEnvironment::setCurrentEnvironment(before);
}

TEST_F(AnalyticsTest, NoPropertyIdentifierNoHits) {
  service = std::make_unique<TsAnalyticsService>(*defaults, *user, client(""), scheduler, "h");
  service->startup();
  service->topupPage();
  EXPECT_EQ(service->client().pendingCount(), 0u);
  settle();
  EXPECT_TRUE(collector.hits().empty());
}

TEST_F(AnalyticsTest, FirstInstallOnceAcrossInstances) {
  makeService();
  service->firstInstall();
  auto got = hits(2);
  EXPECT_EQ(kinds(got),
            (std::vector<std::pair<std::string, std::string>>{
                {"event", "install"}, {"pageview", "/clientmac/successfulinstallationpage"}}));
  EXPECT_FALSE(defaults->firstInstall());
  // The next start.
  service = std::make_unique<TsAnalyticsService>(*defaults, *user, client(), scheduler, "h");
  service->firstInstall();
  service->speed();  // a marker, so that nothing before it can still be on its way
  got = hits(3);
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].get("ea"), "accelerate_success");
}

TEST_F(AnalyticsTest, TopupPageFourHitsThenTwoInOrder) {
  makeService();
  service->topupPage();
  service->topupPage();
  auto got = hits(6);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(kinds(got), (std::vector<std::pair<std::string, std::string>>{
                            {"pageview", "/clientmac/openpurchasepage"},
                            {"event", "open_purchase_page"},
                            {"pageview", "/clientmac/\xEF\xAC\x81rstopenpurchasepage"},
                            {"event", "\xEF\xAC\x81rst_open_purchase_page"},
                            {"pageview", "/clientmac/openpurchasepage"},
                            {"event", "open_purchase_page"}}));
  // The ligature travels as its three UTF-8 bytes.
  EXPECT_NE(got[2].body.find("%EF%AC%81rstopenpurchasepage"), std::string::npos);
}

TEST_F(AnalyticsTest, FirstAccelerateAndSignUp) {
  makeService();
  user->setLoginType("");
  service->registerEvent();
  user->setLoginType(TsUserLoginTypeGoogle);
  service->registerEvent();
  service->firstAccelerate();
  service->firstAccelerate();
  auto got = hits(6);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].get("ea"), "sign_up");
  EXPECT_EQ(got[0].get("el"), "");
  EXPECT_EQ(got[1].get("dp"), "/clientmac/successfulsignuppage");
  EXPECT_EQ(got[2].get("el"), "sign_up_channel_google");
  EXPECT_EQ(got[4].get("ea"), "first_accelerate");
  EXPECT_EQ(got[5].get("dp"), "/clientmac/\xEF\xAC\x81rstacceleratepage");
  EXPECT_EQ(got[5].get("dt"), "Client Mac First Accelerate Page");
}

TEST_F(AnalyticsTest, HeartbeatAtOnceThenEvery1200Seconds) {
  makeService();
  service->startHeartbeat();
  scheduler->advance(std::chrono::seconds(0));
  auto got = hits(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].get("ea"), "heartbeat");
  EXPECT_EQ(got[0].get("el"), "heartbeat");
  scheduler->advance(std::chrono::seconds(1199));
  settle();
  EXPECT_EQ(collector.hits().size(), 1u);
  scheduler->advance(std::chrono::seconds(1));
  EXPECT_EQ(hits(2).size(), 2u);
}

TEST_F(AnalyticsTest, FailedHitIsDroppedAndTheNextOneGoes) {
  makeService();
  collector.server().setStatus(500);
  service->speed();
  ASSERT_TRUE(main.queue().runUntil([&] { return service->client().pendingCount() == 0; }));
  collector.server().setStatus(std::nullopt);
  collector.clear();
  service->startup();
  auto got = hits(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].get("ea"), "launch");
}

}  // namespace
