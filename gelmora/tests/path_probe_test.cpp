// Path probing against the stand-in relay on loopback addresses, the reading of type-301
// answers, the order of the measured list, the best path per flow group and the report that the
// older-service stand-in receives.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "OlderTestSupport.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "standin/relay/Relay.h"

using nlohmann::json;
using Result = TsPathService::ProbeResult;

namespace {

constexpr const char* kReportPath = "/q5client/path/batch-report";
// Base64 of "10.0.0.1", "10.0.0.2", ...: the exit's NAT text as the service sends it.
std::string natOf(int n) {
  static const char* kNats[] = {
      "MTAuMC4wLjE=", "MTAuMC4wLjI=", "MTAuMC4wLjM=", "MTAuMC4wLjQ=", "MTAuMC4wLjU=",
      "MTAuMC4wLjY=", "MTAuMC4wLjc=", "MTAuMC4wLjg=", "MTAuMC4wLjk="};
  return kNats[n - 1];
}

EntranceServer entranceAt(const std::string& ip, uint16_t port, int32_t delay = 5) {
  EntranceServer e;
  e.setIp(ip);
  e.setPort(port);
  e.setDelay(delay);
  return e;
}

ExitServer exitOf(const std::string& addr, const std::string& nat, int32_t group = 2,
                  int32_t level = 3, int32_t ruleId = 11) {
  ExitServer x;
  x.setAddr(addr);
  x.setNat(nat);
  x.setFlowGroupId(group);
  x.setLevel(level);
  x.setRule_id(ruleId);
  return x;
}

TsPathObject pathWith(int32_t entranceDelay, int32_t delay, const std::string& tag,
                      int32_t group = 2) {
  TsPathObject p(entranceAt("198.51.100." + tag, 7000, entranceDelay),
                 exitOf("1-" + tag, "", group));
  p.setDelay(delay);
  return p;
}

std::vector<std::string> tags(const std::vector<TsPathObject>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(p.exit().addr());
  return out;
}

std::vector<uint8_t> frame(uint32_t type, const std::string& body, int lengthSkew = 0) {
  auto f =
      Q5Protocol::wrapWithType(type, {reinterpret_cast<const uint8_t*>(body.data()), body.size()});
  Q5Protocol::storeU32(f.data(), static_cast<uint32_t>(static_cast<int>(f.size()) + lengthSkew));
  return f;
}

class PathProbeTest : public OlderServiceTest {
 protected:
  void SetUp() override {
    OlderServiceTest::SetUp();
    TsParams::updateWithLoginReturnObject({{"data", {{"uid", 42}}}});
    TsParams::setFlowId("77");
    Timing t;
    t.pathProbe = std::chrono::milliseconds(300);
    t.pathWait = std::chrono::seconds(5);
    Timing::set(t);
  }
  void TearDown() override {
    Timing::set(Timing{});
    TsParams::setFlowId("0");
    OlderServiceTest::TearDown();
  }
  // Incoming type-300 frames the relay saw on ip:port.
  static std::vector<standin::relay::Record> detectsIn(
      const std::vector<standin::relay::Record>& all, const std::string& local) {
    std::vector<standin::relay::Record> out;
    for (const auto& r : all) {
      if (r.incoming && r.type == 300 && r.local == local) out.push_back(r);
    }
    return out;
  }
  standin::relay::Relay relay;
};

}  // namespace

TEST_F(PathProbeTest, EqualPathsAreProbedOnceAndShareTheResult) {
  const uint16_t port = relay.addEndpoint("127.0.0.2");
  ASSERT_NE(port, 0);
  relay.setDetectFigures("127.0.0.2", natOf(1),
                         {.delay = 12000, .replyCount = 9, .totalCount = 10});
  relay.setDetectFigures("127.0.0.2", natOf(2),
                         {.delay = 4000, .replyCount = 10, .totalCount = 10});

  TsPathService paths_;
  paths_.addPath(entranceAt("127.0.0.2", port), exitOf("1-2", natOf(1)));
  paths_.addPath(entranceAt("127.0.0.2", port), exitOf("3-4", natOf(2), 3));
  // Equal to the first (same entrance address and port, same addr and nat), other group.
  paths_.addPath(entranceAt("127.0.0.2", port), exitOf("1-2", natOf(1), 4));
  EXPECT_TRUE(paths_.VelocityMeasurement());

  const auto& paths = paths_.pathArray();
  ASSERT_EQ(paths.size(), 3u);
  // Sorted: the 4 ms path first, then the two equal ones in their order.
  EXPECT_EQ(paths[0].exit().addr(), "3-4");
  EXPECT_EQ(paths[0].delay(), 4);
  EXPECT_EQ(paths[0].lost(), 0);
  for (int i : {1, 2}) {
    EXPECT_EQ(paths[i].exit().addr(), "1-2");
    EXPECT_EQ(paths[i].delay(), 12);
    EXPECT_DOUBLE_EQ(paths[i].lost(), 10);
  }
  EXPECT_EQ(paths[1].exit().flowGroupId(), 2);
  EXPECT_EQ(paths[2].exit().flowGroupId(), 4);
  EXPECT_TRUE(console.anyContains("开始B段探测,一共有 2 条不重复路径"));

  // Two distinct paths, each request frame sent twice.
  const std::string local = "127.0.0.2:" + std::to_string(port);
  ASSERT_TRUE(relay.waitFor([&](const auto& all) { return detectsIn(all, local).size() >= 4; },
                            std::chrono::seconds(5)));
  auto seen = detectsIn(relay.records(), local);
  ASSERT_EQ(seen.size(), 4u);
  std::multiset<std::string> bodies;
  for (const auto& r : seen) {
    EXPECT_EQ(r.lengthField, r.size);
    bodies.insert(std::string(r.body.begin(), r.body.end()));
  }
  const std::string first =
      R"({"exit":65538,"flag":"B","flow_id":42,"flow_level":1,"nat_ip":"MTAuMC4wLjE=","target_ip":"127.0.0.1"})";
  const std::string second =
      R"({"exit":196612,"flag":"B","flow_id":42,"flow_level":1,"nat_ip":"MTAuMC4wLjI=","target_ip":"127.0.0.1"})";
  EXPECT_EQ(bodies, (std::multiset<std::string>{first, first, second, second}));
}

TEST_F(PathProbeTest, AnswersGiveDelayAndLossOrTheFailureValues) {
  // Every case on its own port of 127.0.0.3 or its own NAT text, all probed in one round.
  struct Case {
    std::string name;
    standin::relay::DetectFigures figures;
    standin::relay::Switches switches;
    Result expected;
  };
  standin::relay::Switches plain, silent, wrongType, wrongLength, garbage, notObject, zeroTotal;
  silent.silent = true;
  wrongType.wrongType = true;
  wrongLength.wrongLength = true;
  garbage.garbage = true;
  notObject.detectNotObject = true;
  zeroTotal.detectZeroTotal = true;
  standin::relay::Switches hugeDelay, textDelay, twice;
  hugeDelay.detectBody = R"({"delay":1e300,"reply_count":7,"total_count":10})";
  textDelay.detectBody = R"({"delay":"400","reply_count":7,"total_count":10})";
  twice.copies = 2;
  const std::vector<Case> cases = {
      {"400 us is 1 ms, not 0", {400, 10, 10}, plain, {1, 0}},
      {"10 sent, 7 back", {25999, 7, 10}, plain, {25, 30}},
      {"nothing back", {1000, 0, 10}, plain, {1, 100}},
      {"negative delay", {-5000, 10, 10}, plain, {3000, 100}},
      {"delay beyond int32 ms", {INT64_MAX, 10, 10}, plain, {3000, 100}},
      {"more back than sent", {2000, 12, 10}, plain, {2, 0}},
      {"silence", {1000, 10, 10}, silent, {3000, 100}},
      {"wrong type", {1000, 10, 10}, wrongType, {3000, 100}},
      {"wrong length field", {1000, 10, 10}, wrongLength, {3000, 100}},
      {"garbage", {1000, 10, 10}, garbage, {3000, 100}},
      {"body not an object", {1000, 10, 10}, notObject, {3000, 100}},
      {"total 0", {1000, 10, 10}, zeroTotal, {1, 100}},
      {"huge delay", {}, hugeDelay, {3000, 100}},
      {"delay as text", {}, textDelay, {3000, 100}},
      {"answer twice", {3000, 9, 10}, twice, {3, 10}},
  };
  TsPathService paths_;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const uint16_t port = relay.addEndpoint("127.0.0.3");
    ASSERT_NE(port, 0);
    relay.setSwitches("127.0.0.3", port, cases[i].switches);
    const std::string nat = "case-" + std::to_string(i);
    relay.setDetectFigures("127.0.0.3", nat, cases[i].figures);
    paths_.addPath(entranceAt("127.0.0.3", port), exitOf("1-" + std::to_string(i), nat));
  }
  paths_.VelocityMeasurement();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const auto& paths = paths_.pathArray();
    auto it = std::find_if(paths.begin(), paths.end(), [&](const TsPathObject& p) {
      return p.exit().addr() == "1-" + std::to_string(i);
    });
    ASSERT_NE(it, paths.end());
    EXPECT_EQ(it->delay(), c.expected.delay);
    EXPECT_DOUBLE_EQ(it->lost(), c.expected.lost);
  }
}

TEST(PathAnswerTest, DatagramsAreReadStrictly) {
  const auto ok = [](std::string figures) { return frame(301, "{" + figures + "}"); };
  const struct {
    std::string name;
    std::vector<uint8_t> datagram;
    Result expected;
  } cases[] = {
      {"plain", ok(R"("delay":2500,"total_count":4,"reply_count":3)"), {2, 25}},
      {"fractions", ok(R"("delay":1999.9,"total_count":3.0,"reply_count":1)"), {1, 200.0 / 3}},
      {"zero delay", ok(R"("delay":0,"total_count":1,"reply_count":1)"), {1, 0}},
      {"2 s", ok(R"("delay":2000000,"total_count":1,"reply_count":1)"), {2000, 0}},
      {"counts missing", ok(R"("delay":3000)"), {3, 100}},
      {"count as text", ok(R"("delay":3000,"total_count":"10","reply_count":7)"), {3, 100}},
      {"delay missing", ok(R"("total_count":10,"reply_count":7)"), {3000, 100}},
      {"delay as text", ok(R"("delay":"400","total_count":10,"reply_count":7)"), {3000, 100}},
      {"delay null", ok(R"("delay":null,"total_count":10,"reply_count":7)"), {3000, 100}},
      {"delay huge", ok(R"("delay":1e300,"total_count":10,"reply_count":7)"), {3000, 100}},
      {"delay overflowing", ok(R"("delay":1e400,"total_count":10,"reply_count":7)"), {3000, 100}},
      {"delay negative", ok(R"("delay":-1,"total_count":10,"reply_count":7)"), {3000, 100}},
      {"negative counts", ok(R"("delay":1000,"total_count":-10,"reply_count":-7)"), {1, 100}},
      {"array body", frame(301, "[1,2]"), {3000, 100}},
      {"not JSON", frame(301, "delay=1"), {3000, 100}},
      {"empty body", frame(301, ""), {3000, 100}},
      {"length one more", frame(301, R"({"delay":1000})", 1), {3000, 100}},
      {"length one less", frame(301, R"({"delay":1000})", -1), {3000, 100}},
      {"type 101", frame(101, R"({"delay":1000})"), {3000, 100}},
      {"seven bytes", {7, 0, 0, 0, 45, 1, 0}, {3000, 100}},
      {"nothing", {}, {3000, 100}},
  };
  LOG::setConsoleSink([](const std::string&) {});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = TsPathService::readProbeAnswer(c.datagram);
    EXPECT_EQ(r.delay, c.expected.delay);
    EXPECT_DOUBLE_EQ(r.lost, c.expected.lost);
  }
  LOG::setConsoleSink({});
}

TEST(PathOrderTest, ExchangeSortByEntrancePlusPathDelay) {
  // Keys 5, 3, 3, 1: the exchange sort leaves the two 3s in swapped order.
  std::vector<TsPathObject> paths = {pathWith(0, 5, "1"), pathWith(1, 2, "2"), pathWith(3, 0, "3"),
                                     pathWith(1, 0, "4")};
  TsPathService::sortPaths(paths);
  EXPECT_EQ(tags(paths), (std::vector<std::string>{"1-4", "1-3", "1-2", "1-1"}));

  // Sums beyond int32 do not wrap.
  paths = {pathWith(INT32_MAX, INT32_MAX, "1"), pathWith(0, 3000, "2")};
  TsPathService::sortPaths(paths);
  EXPECT_EQ(tags(paths), (std::vector<std::string>{"1-2", "1-1"}));
}

TEST(PathOrderTest, BestPathOfAFlowGroup) {
  ConsoleCapture console;
  TsPathService paths_;
  // Loss does not count, a tie keeps the earlier path, a failed path still serves its group.
  std::vector<TsPathObject> paths = {pathWith(0, 30, "1", 2), pathWith(0, 20, "2", 2),
                                     pathWith(0, 20, "3", 2), pathWith(0, 3000, "4", 3),
                                     pathWith(0, 1, "5", 4)};
  paths[2].setLost(0);
  paths[1].setLost(90);
  paths_.setPathArray(paths);

  auto best = paths_.getPathWithOffset(2);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->exit().addr(), "1-2");
  best = paths_.getPathWithOffset(3);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->exit().addr(), "1-4");
  EXPECT_TRUE(
      console.anyContains("获取路径成功 from [198.51.100.2:7000] to [:1-2] --- delay:20 lost:90%"));

  EXPECT_FALSE(paths_.getPathWithOffset(9));
  EXPECT_EQ(console.startingWith("获取路径失败，offset=9").size(), 1u);
  EXPECT_FALSE(TsPathService().getPathWithOffset(2));
}

TEST_F(PathProbeTest, ReportCarriesTheSortedListAsTexts) {
  const uint16_t a = relay.addEndpoint("127.0.0.2");
  const uint16_t b = relay.addEndpoint("127.0.0.3");
  relay.setDetectFigures("127.0.0.2", "*", {.delay = 9000, .replyCount = 3, .totalCount = 4});
  relay.setDetectFigures("127.0.0.3", "*", {.delay = 2000, .replyCount = 4, .totalCount = 4});
  {
    TsPathService paths_;
    paths_.addPath(entranceAt("127.0.0.2", a, 10), exitOf("1-2", natOf(1), 2, 3, 11));
    paths_.addPath(entranceAt("127.0.0.3", b, 20), exitOf("5-6", natOf(2), 1, 1, -1));
    paths_.VelocityMeasurement();
    paths_.waitForReport();
  }
  auto request = service.lastRequest(kReportPath);
  ASSERT_TRUE(request);
  ASSERT_TRUE(request->payload);
  EXPECT_NE(request->payload->find("\n"), std::string::npos);  // pretty-printed
  const json body = json::parse(*request->payload);
  const std::string mac = TsSystemInformation::macAddress();
  // 10 + 9 comes before 20 + 2.
  const json expected = json::array({
      {{"uid", "42"},
       {"mac", mac},
       {"flow_id", "77"},
       {"entrance_ip", "127.0.0.2"},
       {"entrance_port", std::to_string(a)},
       {"exit_addr", "1-2"},
       {"exit_nat", natOf(1)},
       {"delay_a", "10"},
       {"delay_b", "9"},
       {"lost_a", "0"},
       {"lost_b", "25"},
       {"traffic_level", "3"},
       {"rule_id", "11"}},
      {{"uid", "42"},
       {"mac", mac},
       {"flow_id", "77"},
       {"entrance_ip", "127.0.0.3"},
       {"entrance_port", std::to_string(b)},
       {"exit_addr", "5-6"},
       {"exit_nat", natOf(2)},
       {"delay_a", "20"},
       {"delay_b", "2"},
       {"lost_a", "0"},
       {"lost_b", "0"},
       {"traffic_level", "1"},
       {"rule_id", "-1"}},
  });
  EXPECT_EQ(body, expected);
}

TEST(PathReportTest, LossIsWrittenWithoutDecimalsAndBadTextIsReplaced) {
  TsPathObject p(entranceAt("198.51.100.1", 7000, 3000), exitOf("1-2", "\xff\xfe"));
  p.setDelay(3000);
  p.setLost(200.0 / 3);
  const json body = json::parse(TsPathService::reportBody({p}, 7, "AABBCCDDEEFF", "9"));
  ASSERT_EQ(body.size(), 1u);
  EXPECT_EQ(body[0]["lost_b"], "67");
  EXPECT_EQ(body[0]["exit_nat"], "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(body[0].size(), 13u);
  EXPECT_EQ(TsPathService::reportBody({}, 7, "", "9"), "[]");
}

TEST_F(PathProbeTest, ProbeStillWaitingAtTheDeadlineFailsAndIsStopped) {
  const uint16_t quick = relay.addEndpoint("127.0.0.2");
  const uint16_t slow = relay.addEndpoint("127.0.0.2");
  standin::relay::Switches late;
  late.delay = std::chrono::milliseconds(1500);
  relay.setSwitches("127.0.0.2", slow, late);
  Timing t;
  t.pathProbe = std::chrono::seconds(30);  // the receive time-out alone would block 30 s
  t.pathWait = std::chrono::milliseconds(300);
  Timing::set(t);

  TsPathService paths_;
  paths_.addPath(entranceAt("127.0.0.2", slow), exitOf("1-1", natOf(1)));
  paths_.addPath(entranceAt("127.0.0.2", quick), exitOf("1-2", natOf(2)));
  const auto start = std::chrono::steady_clock::now();
  paths_.VelocityMeasurement();
  // Hang guard only: the probe's socket was shut down rather than waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const auto& paths = paths_.pathArray();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].exit().addr(), "1-2");
  EXPECT_EQ(paths[0].delay(), 1);
  EXPECT_EQ(paths[1].exit().addr(), "1-1");
  EXPECT_EQ(paths[1].delay(), 3000);
  EXPECT_EQ(paths[1].lost(), 100);
  EXPECT_TRUE(console.anyContains("路径探测超时"));
}

TEST_F(PathProbeTest, UnusableEntranceFailsThePathOnly) {
  const uint16_t port = relay.addEndpoint("127.0.0.2");
  TsPathService paths_;
  paths_.addPath(entranceAt("not an address", 7000), exitOf("1-1", natOf(1)));
  paths_.addPath(entranceAt("127.0.0.2", 0), exitOf("1-2", natOf(2)));
  // A request body past 1024 bytes is never sent.
  paths_.addPath(entranceAt("127.0.0.2", port), exitOf("1-3", std::string(1100, 'A')));
  paths_.VelocityMeasurement();
  ASSERT_EQ(paths_.pathArray().size(), 3u);
  for (const auto& p : paths_.pathArray()) {
    EXPECT_EQ(p.delay(), 3000);
    EXPECT_EQ(p.lost(), 100);
  }
  EXPECT_EQ(console.startingWith("socket连接失败").size(), 2u);
  EXPECT_EQ(console.startingWith("探测请求过长").size(), 1u);
  EXPECT_TRUE(relay.records().empty());
}

TEST_F(PathProbeTest, ProberSeamReplacesTheDatagrams) {
  std::mutex mu;
  std::vector<std::string> asked;
  std::vector<std::string> reports;
  TsPathService::setHooks({.probe =
                               [&](const TsPathObject& p, const std::vector<uint8_t>& f) {
                                 std::lock_guard lock(mu);
                                 asked.push_back(p.exit().addr() + " " + std::to_string(f.size()));
                                 return Result{p.exit().addr() == "1-1" ? 40 : 7, 5};
                               },
                           .report =
                               [&](const std::string& path, const std::string&) {
                                 std::lock_guard lock(mu);
                                 reports.push_back(path);
                               }});
  {
    TsPathService paths_;
    paths_.addPath(entranceAt("198.51.100.1", 7000), exitOf("1-1", natOf(1)));
    paths_.addPath(entranceAt("198.51.100.1", 7000), exitOf("1-2", natOf(2)));
    paths_.addPath(entranceAt("198.51.100.1", 7000), exitOf("1-1", natOf(1)));
    paths_.VelocityMeasurement();
    EXPECT_EQ(tags(paths_.pathArray()), (std::vector<std::string>{"1-2", "1-1", "1-1"}));
  }
  TsPathService::setHooks({});
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"1-1 109", "1-2 109"}));
  EXPECT_EQ(reports, std::vector<std::string>{kReportPath});
  EXPECT_TRUE(relay.records().empty());
}

// A report still waiting on a silent service is dropped when the path service goes away: the
// owner (a new rule list, or the app quitting) never waits for the call's time-out.
TEST_F(PathProbeTest, GoingAwayDropsAReportStillOnTheWire) {
  standin::OlderService::Script silent;
  silent.mode = standin::OlderService::Mode::Silence;
  service.setScript(kReportPath, silent);
  TsHttpHelper::setTimeoutInterval(std::chrono::seconds(120));
  auto paths = std::make_unique<TsPathService>();
  paths->reportPathOfResult({pathWith(1, 2, "1")});
  for (int i = 0; i < 1000 && !service.lastRequest(kReportPath); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(service.lastRequest(kReportPath));
  const auto before = std::chrono::steady_clock::now();
  paths.reset();
  // Far below the call's time-out; the cancel is seen at curl's next progress check.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
}
