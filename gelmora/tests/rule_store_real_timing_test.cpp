// One whole rule update as a start runs it, at the real probe time-outs: the rule list from the
// older-service stand-in, the area/ISP library download, then the parse with its entrance-port
// probes (one port silent) and path probes against the relay stand-in on 127.0.0.2 and
// 127.0.0.3, and the path report back to the older service.
#include <fstream>
#include <sstream>
#include <thread>

#include "OlderTestSupport.h"
#include "gelmora/Service/Speed/IpPacketHelper.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Web/TsWebService.h"
#include "standin/relay/Relay.h"

using nlohmann::json;

namespace {

std::string fixtureText(const std::string& name) {
  std::ifstream in(std::string(OLDER_SERVICE_FIXTURES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class RuleStoreRealTimingTest : public OlderServiceTest {
 protected:
  void SetUp() override {
    OlderServiceTest::SetUp();
    Timing::set(Timing{});  // the real time-outs
    TsParams::resetRuleLists();
    TsParams::setProbes({});
    TsPathService::setHooks({});
    library = dir.path() / "Resources" / "area_isp.txt";
    std::filesystem::create_directories(library.parent_path());
    TsParams::setAreaispPath(library.string());
    service.putFile("/files/area_isp.txt", fixtureText("area_isp.txt"));
    // The first port listed is drawn first.
    EntranceServer::setRandomSource([] { return 0u; });
  }
  void TearDown() override {
    EntranceServer::setRandomSource({});
    TsParams::resetRuleLists();
    OlderServiceTest::TearDown();
  }

  std::filesystem::path library;
  standin::relay::Relay relay;
};

}  // namespace

TEST_F(RuleStoreRealTimingTest, FullUpdateSkipsTheSilentPortAndMeasuresEveryPath) {
  const std::uint16_t silent = relay.addEndpoint("127.0.0.2");
  const std::uint16_t live = relay.addEndpoint("127.0.0.2");
  const std::uint16_t second = relay.addEndpoint("127.0.0.3");
  ASSERT_NE(silent, 0);
  ASSERT_NE(live, 0);
  ASSERT_NE(second, 0);
  standin::relay::Switches quiet;
  quiet.silent = true;
  relay.setSwitches("127.0.0.2", silent, quiet);

  json answer = json::parse(fixtureText("rule_list_full.json"));
  answer["data"]["entrance"] = {{{"ip", "127.0.0.2"}, {"ports", {silent, std::to_string(live)}}},
                                {{"ip", "127.0.0.3"}, {"ports", {second}}}};
  service.setAnswer("/q5client/rule/list", answer);
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}, {"package_id", 7}}}});

  TQError error;
  auto reply = TsWebService::getRules(&error);
  ASSERT_TRUE(reply) << error.description;
  ASSERT_TRUE(IpPacketHelper::updateIpPacket());
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(*reply), std::nullopt);

  // The silent port had its two requests and its whole window before the next one was tried.
  int silentRequests = 0;
  for (const auto& r : relay.records()) {
    if (r.incoming && r.type == 100 && r.local == "127.0.0.2:" + std::to_string(silent))
      ++silentRequests;
  }
  EXPECT_EQ(silentRequests, 2);
  auto entrances = TsParams::getEntranceServerArray();
  ASSERT_EQ(entrances.size(), 2u);
  EXPECT_EQ(entrances[0].port(), live);
  EXPECT_EQ(entrances[1].port(), second);
  for (const auto& e : entrances) {
    EXPECT_GE(e.delay(), 0);
    EXPECT_LT(e.delay(), 3000);
  }

  // The downloaded library expanded the area rules.
  auto white = TsParams::getWhiteArray();
  ASSERT_EQ(white.size(), 7u);
  EXPECT_STREQ(white[0].rule, "game.exe|1.0.0.0-1.0.0.255|27015-27030|UDP");

  // Every entrance with every exit, each measured through the relay.
  auto paths = TsParams::getPathService();
  ASSERT_TRUE(paths);
  ASSERT_EQ(paths->pathArray().size(), 8u);
  for (const auto& p : paths->pathArray()) {
    EXPECT_GE(p.delay(), 1);
    EXPECT_LT(p.delay(), 3000) << p.entrance().ip() << " " << p.exit().addr();
    EXPECT_EQ(p.lost(), 0);
  }
  auto best = TsParams::kextHooks().path(3);
  ASSERT_TRUE(best);
  EXPECT_TRUE(best->exitAddr == "1-2" || best->exitAddr == "1-3");

  // The report leaves on its own thread; a real-time guard against a hang.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (service.requests("/q5client/path/batch-report").empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto report = service.lastRequest("/q5client/path/batch-report");
  ASSERT_TRUE(report && report->payload);
  EXPECT_EQ(json::parse(*report->payload).size(), 8u);

  auto saved = TsParamsDirectory::getNSDictionaryValue("package_id7");
  ASSERT_TRUE(saved);
  EXPECT_EQ((*saved)["entrances"], json({"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ((*saved)["exits"].size(), 3u);
}
