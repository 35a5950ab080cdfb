// The game variant against the game-service stand-in, the relay and the log sink on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Galvent/Logger/GVLogReport.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Pexara/PexaraPacketProxy.h"
#include "PexaraAPI/PXAOrgServiceEngine.h"
#include "ProxyTestSupport.h"
#include "standin/GameStandin.h"
#include "standin/logsink/LogSink.h"

using namespace flowtest;
namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;

namespace {

// The game service names an entrance's port list "port".
nlohmann::json gameEntrance(const GVEntrance& e) { return {{"ip", e.ip}, {"port", e.ports}}; }

class GameVariantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVFlowGroup::setRandomSeed(11);
    ASSERT_TRUE(game.start());
    set_PXAOrgDomain(game.address());
    dir = fs::temp_directory_path() / ("flow-game-" + std::to_string(::getpid()));
    fs::create_directories(dir / "grp");
    GVLogger::setContainerRoot(dir);
    setOptions(false);
  }
  void TearDown() override {
    if (proxy) proxy->stop();
    settle(main.queue());
    set_PXAOrgDomain(std::nullopt);
    game.stop();
    GVTunnelOptions::setCurrentOptions(nullptr);
    fs::remove_all(dir);
  }
  void setOptions(bool logReport) {
    GVTunnelOptions o = GVTunnelOptions::defaultOptions();
    o.groupIdentifier = "grp";
    o.errorFile = "exit.txt";
    o.logReportEnable = logReport;
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(o));
  }

  GVQ5Session session() {
    nlohmann::json shared = {{"entrance", {gameEntrance(rig.a)}},
                             {"exits", {{{"addr", "3-7"}, {"nat", "127.0.0.1"}}}},
                             {"traffic_level", 4},
                             {"down_stream_limit", 65536 + 9},
                             {"up_stream_limit", 8}};
    nlohmann::json g1 = shared, g2 = shared, g3 = shared;
    g1["id"] = 11;
    g1["dest"] = {{{"process", "*"}, {"host", "127.0.0.1"}, {"protocol", "UDP,TCP"}}};
    g2["id"] = 12;
    g2["dest"] = {{{"process", "*"}, {"host", "192.0.2.77"}}};
    // A third group on both entrances, one of them shared: its address is routed once.
    g3["id"] = 13;
    g3["entrance"] = {gameEntrance(rig.b), gameEntrance(rig.a)};
    g3["traffic_level"] = 5;
    g3["dest"] = nlohmann::json::array();
    nlohmann::json info = {{"flow_id", 900}, {"vni-array", {g1, g2, g3}}};
    GVQ5Session s;
    s.mac = "02:00:00:00:00:02";
    s.gameId = 321;
    s.appVersion = "1.2.3";
    s.userInfo = PXA_USER_INFO{};
    s.userInfo->uid = 4242;
    s.speedInfo = tq::fromDictionary<PXA_SPEED_START_INFO>(info);
    EXPECT_TRUE(s.speedInfo);
    return s;
  }
  void make() {
    proxy = PexaraPacketProxy::initWithSession(session());
    proxy->setDelegate(delegate);
  }
  void advance(std::chrono::nanoseconds d) { flowtest::advance(clock.clock(), main.queue(), d); }
  std::string exitReason() const {
    std::ifstream in(dir / "grp" / "exit.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  RelayRig rig;
  UdpEcho echo;
  standin::GameStandin game;
  fs::path dir;
  std::shared_ptr<RecordingProxyDelegate> delegate = std::make_shared<RecordingProxyDelegate>();
  std::shared_ptr<PexaraPacketProxy> proxy;
};

TEST_F(GameVariantTest, SharedGroupReportsOnePathPerTrafficGroup) {
  make();
  auto groups = proxy->flowManager()->flowGroups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->ruleIds(), (std::vector<int64_t>{11, 12}));
  EXPECT_EQ(groups[0]->rx(), 9) << "limits are cut to 16 bits";
  EXPECT_EQ(groups[0]->tx(), 8);
  EXPECT_EQ(proxy->blackRoutes(), (std::vector<GVRoute>{{"127.0.0.2", "255.255.255.255"},
                                                        {"127.0.0.3", "255.255.255.255"}}));
  EXPECT_FALSE(proxy->autoProxyDNS());

  proxy->start();
  advance(5s);
  ASSERT_TRUE(main.queue().runUntil([&] { return game.pathReports().size() >= 3; }));
  auto reports = game.pathReports();
  ASSERT_EQ(reports.size(), 3u);
  std::set<std::string> offsets;
  for (auto& r : reports) offsets.insert(r["offset"].get<std::string>());
  EXPECT_EQ(offsets, (std::set<std::string>{"11", "12", "13"}));
  const nlohmann::json* first = nullptr;
  for (auto& r : reports)
    if (r["offset"] == "11") first = &r;
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["uid"], "4242");
  EXPECT_EQ((*first)["gameId"], "321");
  EXPECT_EQ((*first)["flowId"], "900");
  EXPECT_EQ((*first)["flowLevel"], "4");
  EXPECT_EQ((*first)["version"], "1.2.3");
  EXPECT_EQ((*first)["result"], "ok");
  const nlohmann::json& info = (*first)["info"];
  ASSERT_TRUE(info.is_array());
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0]["enterIp"], "127.0.0.2");
  EXPECT_EQ(info[0]["outAddr"], "3-7");
  EXPECT_EQ(info[0]["outIp"], "127.0.0.1");
  EXPECT_EQ(info[0]["enterPort"], groups[0]->socketPort());
  for (const char* key : {"delayA", "delayB", "lostA", "lostB"})
    EXPECT_TRUE(info[0].contains(key)) << key;

  // White UDP reaches the echo through the relay and comes back whole.
  Bytes out = testpkt::udp(kClient, 41000, testpkt::ip("127.0.0.1"), echo.port(), Bytes(64, 3));
  EXPECT_TRUE(proxy->inputPacket(out));
  ASSERT_TRUE(main.queue().runUntil([&] { return delegate->count() == 1; }));
  EXPECT_TRUE(brevant::verify_checksums(delegate->at(0)));
}

TEST_F(GameVariantTest, HeartbeatCodes) {
  make();
  auto kicked = std::make_shared<std::vector<TQError>>();
  auto observation = platform::notifications::NotificationCenter::defaultCenter().observe(
      GVPacketProxyServerKickOff, [kicked](const platform::notifications::Notification& n) {
        kicked->push_back(std::any_cast<TQError>(n.object));
      });
  auto beat = [&] {
    size_t before = game.requests().size();
    proxy->doHeartBeat();
    ASSERT_TRUE(main.queue().runUntil([&] { return game.requests().size() > before; }));
    // Let the answer arrive on the main queue.
    main.queue().runUntil([] { return false; }, 200ms);
  };

  beat();  // code 0
  advance(2s);
  EXPECT_TRUE(kicked->empty());
  auto req = game.lastRequest("/api/user/heartbeat");
  ASSERT_TRUE(req);
  EXPECT_EQ(req->params["uid"], "4242");
  EXPECT_EQ(req->params["mac"], "02:00:00:00:00:02");

  game.setCode("/api/user/heartbeat", 7, "kicked");
  beat();
  advance(999ms);
  EXPECT_TRUE(kicked->empty()) << "the kick-off waits one second";
  advance(1ms);
  ASSERT_EQ(kicked->size(), 1u);
  EXPECT_EQ(kicked->at(0).code, 7);
  EXPECT_NE(exitReason().find("Error: "), std::string::npos) << exitReason();

  // No answer at all (nothing listens): only logged.
  set_PXAOrgDomain("127.0.0.1:1");
  proxy->doHeartBeat();
  main.queue().runUntil([] { return false; }, 500ms);
  advance(2s);
  EXPECT_EQ(kicked->size(), 1u);
}

TEST_F(GameVariantTest, TrafficLinesForTCPAndUDPWithLogReport) {
  standin::logsink::LogSink sink("127.0.0.5", GVLogReport::kDefaultLogPort);
  if (sink.port() == 0) GTEST_SKIP() << "127.0.0.5:10001 is taken on this machine";
  GVLogReport::setDefaultLogHost("127.0.0.5");
  GVPacketProxy::resetLogStreamClaim();
  setOptions(true);
  make();
  proxy->start();
  advance(5s);
  EXPECT_TRUE(proxy->inputPacket(udpTo("127.0.0.1", 5000)));
  EXPECT_TRUE(proxy->inputPacket(testpkt::tcp(kClient, 40002, testpkt::ip("127.0.0.1"), 5001)));
  EXPECT_TRUE(proxy->inputPacket(testpkt::icmp_echo(kClient, testpkt::ip("192.0.2.77"))));
  // One upload pass on the report's clock.
  for (int i = 0; i < 3 && sink.texts().size() < 2; ++i) {
    advance(GVLogReport::kPassInterval);
    sink.waitForLines(2, 3s);
  }
  auto lines = sink.texts();
  ASSERT_EQ(lines.size(), 2u);
  std::string all = lines[0] + "\n" + lines[1];
  EXPECT_NE(all.find("[UDP] host: 127.0.0.1:5000, domain: , flow_id: 900"), std::string::npos)
      << all;
  EXPECT_NE(all.find("[TCP] host: 127.0.0.1:5001"), std::string::npos) << all;
  EXPECT_EQ(all.find("192.0.2.77"), std::string::npos) << "no line for ICMP";
  auto line = nlohmann::json::parse(lines[0], nullptr, false);
  ASSERT_TRUE(line.is_object()) << lines[0];
  EXPECT_EQ(line["uid"], 4242);
  EXPECT_EQ(line["gid"], 321);
  EXPECT_EQ(line["version"], "1.2.3");
}

}  // namespace
