// The line variant against the account-service stand-in and the relay on loopback.
#include <gtest/gtest.h>

#include "Galvent/Logger/GVLogReport.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Ombrix/OmbrixFlowGroupManager.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketProxy.h"
#include "JolvexAPI/JVXServiceEngine.h"
#include "ProxyTestSupport.h"
#include "standin/AccountServer.h"
#include "standin/logsink/LogSink.h"

using namespace flowtest;
namespace dispatch = platform::dispatch;

namespace {

constexpr const char* kBatch = "/q5client/path/batch-report";
constexpr const char* kHeartbeat = "/q5client/user/heartbeat";

class LineVariantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVFlowGroup::setRandomSeed(5);
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    GVTunnelOptions o = GVTunnelOptions::defaultOptions();
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(o));
  }
  void TearDown() override {
    if (proxy) proxy->stop();
    settle(main.queue());
    set_JVXDomain(std::nullopt);
    account.stop();
    GVTunnelOptions::setCurrentOptions(nullptr);
  }

  nlohmann::json info(bool withDNSExits = true) {
    nlohmann::json exitsA = {{{"addr", "1-1"}, {"nat", "127.0.0.1"}}};
    nlohmann::json exitsB = {{{"addr", "2-2"}, {"nat", "127.0.0.1"}}};
    return {{"flow_id", 31},
            {"down_stream_limit", 100},
            {"up_stream_limit", 200},
            {"entrance", {entranceJSON(rig.a), entranceJSON(rig.b)}},
            {"dns_rule_exits", withDNSExits ? exitsA : nlohmann::json::array()},
            {"dns_rule_traffic_level", 1},
            {"dns_rule", {{{"destination_domain", {"dns.game"}}, {"dns_server", "127.0.0.1"}}}},
            {"rules",
             {// No entrances of its own: the defaults, so it shares the DNS group's servers but not
              // its level.
              {{"id", 5},
               {"exits", exitsB},
               {"traffic_level", 2},
               {"group_name", "g5"},
               {"process", {"*"}},
               {"destination_ip_domain", {"127.0.0.1"}}},
              {{"id", 6},
               {"exits", exitsB},
               {"traffic_level", 2},
               {"group_name", "g6"},
               {"entrance", {entranceJSON(rig.a), entranceJSON(rig.b)}},
               {"process", {"*"}},
               {"destination_ip_domain", {"192.0.2.6"}}},
              {{"id", 7},
               {"exits", exitsA},
               {"traffic_level", 3},
               {"group_name", "g7"},
               {"entrance", {entranceJSON(rig.b)}},
               {"process", {"*"}},
               {"destination_ip_domain", {"192.0.2.7"}}}}}};
  }
  void make(nlohmann::json speedInfo) {
    GVTsSession s;
    s.mac = "02:00:00:00:00:03";
    s.userInfo = JVX_USER_INFO{};
    s.userInfo->uid = 777;
    s.speedInfo = tq::fromDictionary<JVX_SPEED_START_INFO>(speedInfo);
    ASSERT_TRUE(s.speedInfo);
    proxy = OmbrixPacketProxy::initWithSession(s);
    proxy->setDelegate(delegate);
  }
  void advance(std::chrono::nanoseconds d) { flowtest::advance(clock.clock(), main.queue(), d); }
  std::vector<nlohmann::json> batches() const {
    std::vector<nlohmann::json> out;
    for (auto& r : account.requests())
      if (r.path == kBatch && r.info) out.push_back(*r.info);
    return out;
  }
  // One service heartbeat, answered.
  void beat() {
    size_t before = account.requests().size();
    proxy->doHeartBeat();
    ASSERT_TRUE(main.queue().runUntil([&] { return account.requests().size() > before; }));
    main.queue().runUntil([] { return false; }, 200ms);
    settle(main.queue());
  }

  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  RelayRig rig;
  UdpEcho echo;
  standin::account::AccountServer account;
  std::shared_ptr<RecordingProxyDelegate> delegate = std::make_shared<RecordingProxyDelegate>();
  std::shared_ptr<OmbrixPacketProxy> proxy;
};

TEST_F(LineVariantTest, GroupsRulesAndBatchReports) {
  make(info());
  auto* manager = dynamic_cast<OmbrixFlowGroupManager*>(proxy->flowManager());
  ASSERT_TRUE(manager);
  auto groups = manager->flowGroups();
  ASSERT_EQ(groups.size(), 3u);
  auto dns = manager->dnsFlowGroup();
  ASSERT_EQ(dns, groups[0]);
  EXPECT_EQ(dns->ruleId(), -1);
  EXPECT_EQ(dns->ruleIds(), std::vector<int64_t>{-1});
  // Rules 5 and 6 share servers and level: one group, the first id its own.
  EXPECT_EQ(groups[1]->ruleId(), 5);
  EXPECT_EQ(groups[1]->ruleIds(), (std::vector<int64_t>{5, 6}));
  EXPECT_EQ(groups[1]->groupName(), "g5");
  EXPECT_EQ(groups[1]->entrances().size(), 2u) << "defaults for a rule without entrances";
  EXPECT_EQ(groups[2]->ruleIds(), std::vector<int64_t>{7});
  EXPECT_EQ(groups[1]->rx(), 100);
  EXPECT_EQ(groups[1]->tx(), 200);
  EXPECT_TRUE(proxy->autoProxyDNS());
  EXPECT_EQ(proxy->blackRoutes(), (std::vector<GVRoute>{{"127.0.0.2", "255.255.255.255"},
                                                        {"127.0.0.3", "255.255.255.255"}}));

  proxy->start();
  advance(5s);
  ASSERT_TRUE(main.queue().runUntil([&] { return batches().size() >= 4; }));
  auto list = batches();
  ASSERT_EQ(list.size(), 4u);
  std::map<int64_t, nlohmann::json> byRule;
  for (auto& b : list) {
    ASSERT_TRUE(b["paths"].is_array());
    byRule[b["paths"][0]["rule_id"].get<int64_t>()] = b["paths"];
  }
  EXPECT_EQ(byRule.size(), 4u);
  ASSERT_TRUE(byRule.contains(-1));
  const auto& dnsPaths = byRule[-1];
  EXPECT_EQ(dnsPaths.size(), 2u) << "one path per entrance-exit pair";
  EXPECT_EQ(dnsPaths[0]["uid"], 777);
  EXPECT_EQ(dnsPaths[0]["mac"], "02:00:00:00:00:03");
  EXPECT_EQ(dnsPaths[0]["flow_id"], 31);
  EXPECT_EQ(dnsPaths[0]["traffic_level"], 1);
  EXPECT_EQ(dnsPaths[0]["exit_addr"], "1-1");
  EXPECT_EQ(dnsPaths[0]["entrance_port"], dns->socketPort());
  EXPECT_EQ(dnsPaths[1]["entrance_port"], 0);
  EXPECT_EQ(byRule[6][0]["traffic_level"], 2);

  // A DNS query of the DNS rule goes through the DNS group.
  EXPECT_TRUE(proxy->inputPacket(dnsQuery("a.dns.game")));
  // White UDP round trip.
  Bytes out = testpkt::udp(kClient, 41000, testpkt::ip("127.0.0.1"), echo.port(), Bytes(32, 1));
  EXPECT_TRUE(proxy->inputPacket(out));
  ASSERT_TRUE(main.queue().runUntil([&] { return delegate->count() == 1; }));
  EXPECT_TRUE(brevant::verify_checksums(delegate->at(0)));
}

TEST_F(LineVariantTest, HeartbeatCodesAndEntrances) {
  nlohmann::json a = entranceJSON(rig.a), b = entranceJSON(rig.b);
  // The beat at start sees the same entrances.
  account.scriptPayloads(kHeartbeat, {{{"entrance", {a, b}}}});
  auto kicked = std::make_shared<int>(0);
  auto observation = platform::notifications::NotificationCenter::defaultCenter().observe(
      GVPacketProxyServerKickOff,
      [kicked](const platform::notifications::Notification&) { ++*kicked; });
  make(info());
  proxy->start();
  advance(5s);
  auto allStatus = [&](int64_t s) {
    for (auto& g : proxy->flowManager()->flowGroups())
      if (g->status() != s) return false;
    return true;
  };
  ASSERT_TRUE(allStatus(GVFlowGroup::kStatusResolved));

  struct Case {
    const char* what;
    nlohmann::json entrance;
    bool resolves;
  };
  const std::vector<Case> cases = {
      {"same list", {a, b}, false},
      {"bad entries skipped one by one",
       {{{"ip", "not-an-ip"}, {"ports", {1}}}, a, {{"ip", "127.0.0.9"}, {"ports", {"x"}}}, b},
       false},
      {"empty list", nlohmann::json::array(), false},
      {"other order", {b, a}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    account.scriptPayloads(kHeartbeat, {{{"entrance", c.entrance}}});
    beat();
    EXPECT_EQ(allStatus(GVFlowGroup::kStatusResolving), c.resolves);
    if (c.resolves) {
      EXPECT_EQ(proxy->flowManager()->flowGroups()[2]->entrances()[0].ip, "127.0.0.3");
      advance(5s);
    }
  }
  std::optional<nlohmann::json> seen;
  for (auto& r : account.requests())
    if (r.path == kHeartbeat) seen = r.info;
  ASSERT_TRUE(seen);
  EXPECT_EQ((*seen)["uid"], 777);
  EXPECT_EQ((*seen)["mac"], "02:00:00:00:00:03");

  account.scriptAnswers(kHeartbeat, {{{"code", 5}, {"info", "other"}}});
  beat();
  advance(2s);
  EXPECT_EQ(*kicked, 0) << "codes other than 101 are only logged";

  account.scriptAnswers(kHeartbeat, {{{"code", 101}, {"info", "signed out"}}});
  beat();
  advance(999ms);
  EXPECT_EQ(*kicked, 0);
  advance(1ms);
  EXPECT_EQ(*kicked, 1);
}

TEST_F(LineVariantTest, NoDNSExitsNoDNSGroup) {
  make(info(false));
  auto* manager = dynamic_cast<OmbrixFlowGroupManager*>(proxy->flowManager());
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->dnsFlowGroup(), nullptr);
  EXPECT_EQ(manager->flowGroups().size(), 2u);
  proxy->start();
  advance(5s);
  EXPECT_FALSE(proxy->inputPacket(dnsQuery("a.dns.game"))) << "its traffic id names no group";
}

TEST_F(LineVariantTest, ReportLogUploadsToTheChosenEntrance) {
  standin::logsink::LogSink sink("127.0.0.2", OmbrixPacketProxy::kLogPort);
  if (sink.port() == 0) GTEST_SKIP() << "127.0.0.2:9998 is taken on this machine";
  GVPacketProxy::resetLogStreamClaim();
  make(info());
  proxy->setReportLog(true);
  // Only the entrance of the first group's best pair may be chosen here.
  rig.silence(true);
  proxy->start();
  advance(5s);
  GVLogReport::sharedLogReport().appendLog("line-variant-upload");
  for (int i = 0; i < 3 && sink.texts().empty(); ++i) {
    advance(GVLogReport::kPassInterval);
    sink.waitForLines(1, 3s);
  }
  ASSERT_FALSE(sink.texts().empty());
  EXPECT_EQ(sink.texts()[0], "line-variant-upload");
}

}  // namespace
