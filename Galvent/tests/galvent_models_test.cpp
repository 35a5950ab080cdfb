#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Galvent/Models/GVEntranceExit.h"
#include "Galvent/Models/GVLaunchOptions.h"
#include "Galvent/Models/GVTrafficInfo.h"
#include "TestLogger.h"

namespace {
nlohmann::json golden() {
  std::ifstream in(GALVENT_TEST_DATA "/launch_options.json");
  std::stringstream s;
  s << in.rdbuf();
  return nlohmann::json::parse(s.str());
}

// Current options start from nothing again.
struct FreshOptions {
  FreshOptions() { GVTunnelOptions::setCurrentOptions(nullptr); }
  ~FreshOptions() { GVTunnelOptions::setCurrentOptions(nullptr); }
};
}  // namespace

TEST(GVTunnelOptions, DefaultsOfTheTable) {
  auto d = tq::toDictionary(GVTunnelOptions::defaultOptions());
  nlohmann::json expected = {
      {"dnsServer", GVDefaultDnsServer},
      {"settingDnsServer", "198.18.0.1"},
      {"ipDataFile", "ip.data"},
      {"errorFile", "error.txt"},
      {"blackRouteFile", "black_route.txt"},
      {"whiteRouteFile", "white_route.txt"},
      {"recordTrafficEnable", false},
      {"logEnable", false},
      {"logRuleAdd", true},
      {"logInterceptPacket", true},
      {"logGameAdapterResp", true},
      {"logFlowGroupHeartbeat", true},
      {"logPerformance", true},
      {"ignoreHeartbeatKickout", false},
      {"globalProxy", false},
      {"EDNSEnable", false},
      {"observeInterfaceChange", true},
      {"MTU", 1400},
  };
  EXPECT_EQ(d, expected);
  // Unset in a new object: no groupIdentifier, no proxy, logReportEnable unset.
  EXPECT_EQ(tq::toDictionary(GVTunnelOptions{}), nlohmann::json::object());
}

TEST(GVTunnelOptions, CurrentOptionsCreatedOnceOrAsSet) {
  {
    FreshOptions fresh;
    std::vector<std::shared_ptr<const GVTunnelOptions>> seen(8);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < seen.size(); ++i)
      readers.emplace_back([&seen, i] { seen[i] = GVTunnelOptions::currentOptions(); });
    for (auto& t : readers) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_EQ(*seen[0], GVTunnelOptions::defaultOptions());
    EXPECT_EQ(GVTunnelOptions::currentOptions(), seen[0]);
  }
  {
    FreshOptions fresh;
    auto mine = std::make_shared<const GVTunnelOptions>(GVTunnelOptions{});
    GVTunnelOptions::setCurrentOptions(mine);
    EXPECT_EQ(GVTunnelOptions::currentOptions(), mine);
    EXPECT_EQ(GVTunnelOptions::currentOptions(), mine);
  }
}

TEST(GVLaunchOptions, GoldenRoundTrip) {
  FreshOptions fresh;
  nlohmann::json dict = golden();
  auto options = GVLaunchOptions::installFromDictionary(dict);
  ASSERT_TRUE(options);
  EXPECT_EQ(tq::toDictionary(*options), dict);
  auto back = tq::fromJSON<GVLaunchOptions>(tq::toJSON(*options));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, *options);

  // The tunnel options became the process's current options.
  auto current = GVTunnelOptions::currentOptions();
  EXPECT_EQ(current->MTU, 1380);
  EXPECT_EQ(current->groupIdentifier, "group.test.tunnel");

  // exits are models, entrances stay the plain values they were.
  const auto& ts = *options->tssession;
  ASSERT_EQ(ts.exits->size(), 2u);
  EXPECT_EQ((*ts.exits)[1].addr, "10-1");
  EXPECT_EQ((*ts.entrances)[0], dict["tssession"]["entrances"][0]);
  EXPECT_EQ((*ts.entrances)[1], "192.0.2.11");
  EXPECT_EQ(ts.userInfo->login_token, "t0k");

  // Both sessions present: the line service's is used.
  auto active = options->activeSession();
  ASSERT_TRUE(std::holds_alternative<const GVTsSession*>(active));
  EXPECT_EQ(std::get<const GVTsSession*>(active), &*options->tssession);
}

TEST(GVLaunchOptions, MissingPartsAndBadInput) {
  {
    FreshOptions fresh;
    nlohmann::json dict = golden();
    dict.erase("tunnelOptions");
    dict.erase("tssession");
    auto options = GVLaunchOptions::installFromDictionary(dict);
    ASSERT_TRUE(options);
    EXPECT_EQ(*GVTunnelOptions::currentOptions(), GVTunnelOptions::defaultOptions());
    EXPECT_TRUE(std::holds_alternative<const GVQ5Session*>(options->activeSession()));
  }
  {
    FreshOptions fresh;
    // Wrong kinds of plain members leave them unset; nothing throws.
    nlohmann::json dict = {
        {"tunnelOptions", {{"MTU", "lots"}, {"logEnable", {1}}, {"dnsServer", 53}}}};
    auto options = GVLaunchOptions::installFromDictionary(dict);
    ASSERT_TRUE(options);
    EXPECT_FALSE(options->tunnelOptions->MTU);
    EXPECT_FALSE(options->tunnelOptions->logEnable);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(options->activeSession()));
  }
  const char* bad[] = {"[]",
                       "\"text\"",
                       "{\"tunnelOptions\": []}",
                       "{\"tssession\": 5}",
                       "{\"tssession\": {\"exits\": [3]}}",
                       "{",
                       ""};
  for (const char* text : bad) {
    FreshOptions fresh;
    auto sentinel = std::make_shared<const GVTunnelOptions>(GVTunnelOptions{});
    GVTunnelOptions::setCurrentOptions(sentinel);
    TQError error;
    EXPECT_FALSE(GVLaunchOptions::installFromJSON(text, &error)) << text;
    EXPECT_EQ(GVTunnelOptions::currentOptions(), sentinel) << text;
  }
}

TEST(GVSession, InitWithUserInfo) {
  EXPECT_FALSE(GVTsSession::initWithUserInfo(std::nullopt));
  JVX_USER_INFO info;
  info.email = "a@example.com";
  auto session = GVTsSession::initWithUserInfo(info);
  ASSERT_TRUE(session);
  EXPECT_EQ(tq::toDictionary(*session),
            (nlohmann::json{{"userInfo", {{"email", "a@example.com"}}}}));
  PXA_USER_INFO q5;
  q5.uid = 7;
  auto game = GVQ5Session::initWithUserInfo(q5);
  ASSERT_TRUE(game);
  EXPECT_FALSE(game->mac);
}

TEST(GVTrafficInfo, RecordsAndFigures) {
  auto off = GVTrafficInfo::make(-12.9, 1, 2, 3, 2, -1, {});
  auto d = tq::toDictionary(off);
  EXPECT_EQ(d["duration"], 12);
  EXPECT_EQ(d["trafficRecords"], nlohmann::json::array());
  EXPECT_EQ(d["heartbeatDelay"], UINT64_MAX);

  GVTrafficRecord r;
  r.protocol = "UDP";
  r.destIP = "192.0.2.1";
  r.domain = "";
  r.port = 27015;
  r.areaId = "3";
  r.group = GVTrafficGroupWhite;
  r.ruleId = 12;
  auto on = GVTrafficInfo::make(5.5, 10, 20, 4, 4, 33, {r});
  auto back = tq::fromJSON<GVTrafficInfo>(tq::toJSON(on));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, on);
  EXPECT_EQ((*back->trafficRecords)[0].group, "White");
}

TEST(GVEntranceExit, BothServicesReadAlike) {
  LoggingScope scope;
  JVX_ENTRANCE j;
  j.ip = "192.0.2.10";
  j.ports = std::vector<nlohmann::json>{7000, "7001", 0, 70000, -3, "x", 1.5, 65535};
  PXA_ENTRANCE p;
  p.ip = "192.0.2.20";
  p.port = std::vector<nlohmann::json>{9000, 9001};
  EXPECT_EQ(GVEntranceExit::entrance(j), (GVEntrance{"192.0.2.10", {7000, 7001, 65535}}));
  EXPECT_EQ(GVEntranceExit::entrance(p), (GVEntrance{"192.0.2.20", {9000, 9001}}));
  EXPECT_EQ(scope.logger->lines().size(), 5u);  // every dropped port is logged
  JVX_EXIT x;
  x.addr = "3-7";
  x.nat = "198.51.100.7";
  EXPECT_EQ(GVEntranceExit::exit(x), (GVExit{"3-7", "198.51.100.7"}));
  EXPECT_EQ(GVEntranceExit::exit(PXA_EXIT{}), (GVExit{"", ""}));
}
