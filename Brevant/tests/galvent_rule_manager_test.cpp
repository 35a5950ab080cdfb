// Packet rule managers: rule building from both services' start information, rule order,
// the area/ISP database's location, and per-manager rule lists.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../../Galvent/tests/TestLogger.h"
#include "Galvent/Tunnel/Base/Rule/GVPacketRuleManager.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketRuleManager.h"
#include "Galvent/Tunnel/Pexara/PexaraPacketRuleManager.h"
#include "JolvexAPI/JolvexSchemaModels.h"
#include "PacketBuilder.h"
#include "PexaraAPI/PexaraSchemaModels.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

template <class T>
T model(const json& j) {
  auto m = tq::fromDictionary<T>(j);
  EXPECT_TRUE(m) << j.dump();
  return m ? *m : T{};
}

std::vector<std::string> linesStarting(const std::vector<std::string>& lines,
                                       const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// Options with logging on and no database file, so nothing is loaded unless a test says so.
GVTunnelOptions quietOptions() {
  auto o = LoggingScope::enabled();
  o.ipDataFile = "";
  return o;
}

TEST(RuleBuilding, TrafficRuleFields) {
  LoggingScope scope(quietOptions());
  std::vector<json> hundred(100);
  for (int i = 0; i < 100; ++i) hundred[static_cast<size_t>(i)] = i + 1;
  const std::string seventy(66, 'a');
  struct Case {
    const char* name;
    const char* process;
    const char* protocol;
    std::string domain;
    const char* port;
    bool made;
    int proto;
    std::string storedDomain;
    uint16_t low, high;
  };
  const Case cases[] = {
      {"star domain prefix is dropped", "*", "UDP", "*.game.example", "27015", true, 17,
       "game.example", 27015, 27015},
      {"plain domain kept", "*", "tcp", "game.example", "*", true, 6, "game.example", 0, 65535},
      {"70-byte domain cut to 64", "*", "icmp", seventy + ".com", "", true, 1,
       seventy.substr(0, 64), 0, 65535},
      {"address is a range, not a domain", "*", "*", "192.0.2.1-192.0.2.9", "4000-5000", true, -1,
       "", 4000, 5000},
      {"reversed ports mean any", "*", "udp", "", "5000-4000", true, 17, "", 0, 65535},
      {"port past 65535 means any", "*", "udp", "", "70000", true, 17, "", 0, 65535},
      {"unknown protocol keeps any", "*", "sctp", "", "0", true, -1, "", 0, 65535},
      {"other process gives nothing", "game.exe", "udp", "", "1", false, 0, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = GVPacketRuleManager::createTrafficRuleWithProcess(
        c.process, c.protocol, c.domain, hundred, {json("7"), json(-1)}, c.port);
    ASSERT_EQ(r.has_value(), c.made);
    if (!r) continue;
    EXPECT_EQ(r->protocol, c.proto);
    EXPECT_EQ(r->domain, c.storedDomain);
    EXPECT_EQ(r->port_low, c.low);
    EXPECT_EQ(r->port_high, c.high);
    ASSERT_EQ(r->areas.size(), 64u);
    EXPECT_EQ(r->areas.front(), 1);
    EXPECT_EQ(r->areas.back(), 64);
    EXPECT_EQ(r->isps, std::vector<uint16_t>{7});
  }
  EXPECT_EQ(GVPacketRuleManager::normalizeDomain("*.game.example"), "game.example");
  EXPECT_EQ(GVPacketRuleManager::normalizeDomain("game.example"), "game.example");
}

const json kGameInfo = {
    {"flow_id", 9},
    {"dns_rule",
     {{{"domain", {"*.one.example", "  ", "two.example"}},
       {"server", "192.0.2.53"},
       {"traffic_id", 11}},
      {{"domain", {"bad.example"}}, {"server", "not-an-address"}, {"traffic_id", 12}}}},
    {"blacklist",
     {{{"process", "*"}, {"host", "blocked.example"}, {"protocol", "TCP,UDP"}, {"port", "80"}},
      {{"process", "other"}, {"host", "x.example"}, {"protocol", "udp"}, {"port", "1"}}}},
    {"vni-array",
     {{{"dest",
        {{{"process", "*"},
          {"host", "game.example"},
          {"protocol", "udp"},
          {"port", "27015"},
          {"traffic_id", 101}},
         {{"process", "*"},
          {"host", "203.0.113.0-203.0.113.255"},
          {"protocol", "udp"},
          {"port", "*"},
          {"traffic_id", 102}}}}},
      {{"dest",
        {{{"process", "*"},
          {"host", "*"},
          {"protocol", "*"},
          {"port", "*"},
          {"traffic_id", 201}}}}}}}};

TEST(GameVariant, RulesCountsAndOrder) {
  LoggingScope scope(quietOptions());
  PexaraPacketRuleManager manager(model<PXA_SPEED_START_INFO>(kGameInfo));
  const auto& rules = manager.rules();

  ASSERT_EQ(rules.dns_rules().size(), 2u);  // blank skipped, bad server skipped
  EXPECT_EQ(rules.dns_rules()[0].domain, "one.example");
  EXPECT_EQ(rules.dns_rules()[1].domain, "two.example");
  EXPECT_EQ(rules.dns_rules()[0].traffic_id, 11);
  EXPECT_EQ(rules.dns_rules()[0].rule_id, 0);

  ASSERT_EQ(rules.black_rules().size(), 2u);
  auto blackLines = linesStarting(scope.logger->lines(), "I +B ");
  ASSERT_EQ(blackLines.size(), 2u);
  EXPECT_NE(blackLines[0].find("proto=tcp"), std::string::npos);  // added in the text's order
  EXPECT_NE(blackLines[1].find("proto=udp"), std::string::npos);

  // In matching order: the service's first group and its first destination come first.
  ASSERT_EQ(rules.white_rules().size(), 3u);
  EXPECT_EQ(rules.white_rules()[0].traffic_id, 102);
  EXPECT_EQ(rules.white_rules()[1].traffic_id, 101);
  EXPECT_EQ(rules.white_rules()[2].traffic_id, 201);
  EXPECT_EQ(linesStarting(scope.logger->lines(), "I +D ").size(), 2u);
  EXPECT_EQ(linesStarting(scope.logger->lines(), "I +W ").size(), 3u);
}

const json kLineInfo = {
    {"flow_id", 7},
    {"dns_rule",
     {{{"destination_domain", {"*.game.example"}}, {"dns_server", "192.0.2.53"}, {"traffic_id", 1}},
      {{"destination_domain", {"cdn.example", "\n"}},
       {"dns_server", "192.0.2.54"},
       {"traffic_id", 1}}}},
    {"blacklist",
     {{{"process", {"*", "*"}},
       {"protocol", {"udp"}},
       {"port", {"80", 443}},
       {"destination_ip_domain", json::array()}}}},
    {"rules",
     {{{"id", 31},
       {"traffic_id", 2},
       {"process", {"*"}},
       {"protocol", {"udp"}},
       {"port", {"27015-27030"}},
       {"destination_ip_domain", {"game.example", "198.51.100.0/24"}},
       {"destination_area_id", {5}}},
      {{"id", 32},
       {"traffic_id", 3},
       {"process", {"game.exe", "*"}},
       {"protocol", {"tcp"}},
       {"port", {"*"}}}}}};

TEST(LineVariant, RulesCountsAndOrder) {
  LoggingScope scope(quietOptions());
  OmbrixPacketRuleManager manager(model<JVX_SPEED_START_INFO>(kLineInfo));
  const auto& rules = manager.rules();

  ASSERT_EQ(rules.dns_rules().size(), 2u);
  EXPECT_EQ(rules.dns_rules()[0].domain, "game.example");
  EXPECT_EQ(rules.dns_rules()[0].rule_id, -1);
  EXPECT_EQ(rules.dns_rules()[0].traffic_id, 1);
  EXPECT_EQ(rules.dns_rules()[1].dns_server, testpkt::ip("192.0.2.54"));

  // 2 processes x 1 protocol x 2 ports x (no destinations = "*").
  ASSERT_EQ(rules.black_rules().size(), 4u);
  for (const auto& r : rules.black_rules()) EXPECT_EQ(r.domain, "*");

  // The first service rule comes first; within it, the combinations in reverse of adding.
  ASSERT_EQ(rules.white_rules().size(), 3u);
  EXPECT_EQ(rules.white_rules()[0].rule_id, 31);
  EXPECT_EQ(rules.white_rules()[0].traffic_id, 2);
  EXPECT_EQ(rules.white_rules()[0].range.first, testpkt::ip("198.51.100.0"));
  EXPECT_EQ(rules.white_rules()[0].range.last, testpkt::ip("198.51.100.255"));
  EXPECT_EQ(rules.white_rules()[1].rule_id, 31);
  EXPECT_EQ(rules.white_rules()[1].domain, "game.example");
  EXPECT_EQ(rules.white_rules()[1].areas, std::vector<uint16_t>{5});
  EXPECT_EQ(rules.white_rules()[1].port_low, 27015);
  EXPECT_EQ(rules.white_rules()[1].port_high, 27030);
  EXPECT_EQ(rules.white_rules()[2].rule_id, 32);
  EXPECT_EQ(rules.white_rules()[2].traffic_id, 3);
  EXPECT_EQ(rules.white_rules()[2].protocol, 6);
}

TEST(LineVariant, MatchesPacketsThroughTheManager) {
  LoggingScope scope(quietOptions());
  OmbrixPacketRuleManager manager(model<JVX_SPEED_START_INFO>(kLineInfo));
  manager.domainTable().record(testpkt::ip("203.0.113.10"), "eu.game.example");
  brevant::ip_session_info s;
  ASSERT_TRUE(manager.sessionWithPacket(
      testpkt::udp(testpkt::ip("10.0.0.2"), 4000, testpkt::ip("203.0.113.10"), 27020, {1}), s,
      true));
  EXPECT_EQ(s.area_id, 0);  // no database: area 0
  brevant::traffic_rule white;
  EXPECT_FALSE(manager.matchedWhite(s, &white));  // the rule wants area 5
  brevant::dns_rule dns;
  ASSERT_TRUE(manager.sessionWithPacket(
      testpkt::udp(testpkt::ip("10.0.0.2"), 4000, testpkt::ip("198.18.0.1"), 53,
                   testpkt::dns_query(1, "login.game.example")),
      s, true));
  ASSERT_TRUE(manager.matchedDNS(s, &dns));
  EXPECT_EQ(dns.dns_server, testpkt::ip("192.0.2.53"));
  brevant::traffic_rule black;
  EXPECT_FALSE(manager.matchedBlack(s, &black));
  ASSERT_TRUE(manager.sessionWithPacket(
      testpkt::udp(testpkt::ip("10.0.0.2"), 4000, testpkt::ip("192.0.2.1"), 443, {1}), s, true));
  EXPECT_TRUE(manager.matchedBlack(s, &black));  // any destination, UDP port 443
  EXPECT_EQ(black.port_low, 443);
}

TEST(RuleManagers, FactoryPicksTheVariant) {
  LoggingScope scope(quietOptions());
  auto line = GVPacketRuleManager::managerWithSpeedInfo(model<JVX_SPEED_START_INFO>(kLineInfo));
  auto game = GVPacketRuleManager::managerWithSpeedInfo(model<PXA_SPEED_START_INFO>(kGameInfo));
  EXPECT_TRUE(dynamic_cast<OmbrixPacketRuleManager*>(line.get()));
  EXPECT_TRUE(dynamic_cast<PexaraPacketRuleManager*>(game.get()));
  EXPECT_FALSE(GVPacketRuleManager::managerWithSpeedInfo(42));
  EXPECT_FALSE(GVPacketRuleManager::managerWithSpeedInfo(std::string("info")));
}

TEST(RuleManagers, TwoManagersDoNotShareRules) {
  LoggingScope scope(quietOptions());
  OmbrixPacketRuleManager first(model<JVX_SPEED_START_INFO>(kLineInfo));
  OmbrixPacketRuleManager second(model<JVX_SPEED_START_INFO>(json{{"rules", json::array()}}));
  EXPECT_EQ(first.rules().white_rules().size(), 3u);
  EXPECT_TRUE(second.rules().white_rules().empty());
  EXPECT_TRUE(second.rules().dns_rules().empty());
  brevant::ip_session_info s;
  ASSERT_TRUE(second.sessionWithPacket(
      testpkt::tcp(testpkt::ip("10.0.0.2"), 4000, testpkt::ip("198.51.100.7"), 8080), s, true));
  EXPECT_FALSE(second.matchedWhite(s, nullptr));
  EXPECT_TRUE(first.matchedWhite(s, nullptr));
}

class AreaDatabase : public ::testing::Test {
 protected:
  fs::path root = fs::temp_directory_path() / ("gv_rules_" + std::to_string(getpid()));
  fs::path container = root / "container";
  fs::path resources = root / "resources";

  void SetUp() override {
    fs::create_directories(container / "group.test");
    fs::create_directories(resources);
    GVLogger::setContainerRoot(container);
    GVPacketRuleManager::setResourceDirectory(resources);
  }
  void TearDown() override {
    GVPacketRuleManager::setResourceDirectory({});
    fs::remove_all(root);
  }
  static GVTunnelOptions options(std::string file = "ip.data") {
    auto o = quietOptions();
    o.groupIdentifier = "group.test";
    o.ipDataFile = std::move(file);
    return o;
  }
  // 203.0.113.0/24 with the given area and ISP.
  static void writeTable(const fs::path& p, int area, int isp) {
    std::ofstream(p) << "3405803776\t3405804031\t" << area << "\t" << isp << "\n";
  }
  static brevant::ip_session_info sessionOf(const GVPacketRuleManager& m) {
    brevant::ip_session_info s;
    m.sessionWithPacket(
        testpkt::udp(testpkt::ip("10.0.0.2"), 1, testpkt::ip("203.0.113.10"), 2, {1}), s, true);
    return s;
  }
};

TEST_F(AreaDatabase, ContainerFileWinsOverResource) {
  writeTable(resources / "ip.data", 1, 2);
  writeTable(container / "group.test" / "ip.data", 30, 40);
  LoggingScope scope(options());
  GVPacketRuleManager manager;
  auto s = sessionOf(manager);
  EXPECT_EQ(s.area_id, 30);
  EXPECT_EQ(s.isp_id, 40);
  auto lines = scope.logger->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I There has a update IP data file!"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I Loaded 1 ip ranges for Area & ISP"),
            lines.end());
}

TEST_F(AreaDatabase, ResourceServesWithoutContainerFile) {
  writeTable(resources / "ip.data", 1, 2);
  LoggingScope scope(options());
  GVPacketRuleManager manager;
  auto s = sessionOf(manager);
  EXPECT_EQ(s.area_id, 1);
  EXPECT_EQ(s.isp_id, 2);
}

TEST_F(AreaDatabase, NoFileGivesAreaZero) {
  struct Case {
    const char* name;
    std::string file;
  };
  writeTable(root / "ip.data", 1, 2);  // outside both folders
  const Case cases[] = {
      {"missing file", "ip.data"}, {"empty name", ""}, {"name climbing out", "../ip.data"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoggingScope scope(options(c.file));
    GVPacketRuleManager manager;
    EXPECT_FALSE(manager.ipdb());
    EXPECT_EQ(sessionOf(manager).area_id, 0);
  }
}

}  // namespace
