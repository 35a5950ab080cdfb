// Flow groups against the stand-in relay on loopback, in virtual time: grouping and keys, the
// probe schedule, scoring, and what stale or bad answers must not do.
#include <gtest/gtest.h>

#include <algorithm>

#include "FlowTestSupport.h"
#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"

using namespace flowtest;
namespace dispatch = platform::dispatch;

namespace {

class FlowGroupTest : public ::testing::Test {
 protected:
  void SetUp() override { GVFlowGroup::setRandomSeed(7); }

  std::shared_ptr<GVFlowGroup> makeGroup(std::vector<GVEntrance> entrances,
                                         std::vector<GVExit> exits = threeExits()) {
    auto group = manager.flowGroupWithEntrances(entrances, exits, 2, 100, 200, "g");
    group->setDelegate(delegate);
    return group;
  }
  void advance(std::chrono::nanoseconds d) { flowtest::advance(clock.clock(), main.queue(), d); }
  // Puts a datagram into the group as if the relay had sent it, and lets it settle.
  void answer(GVFlowGroup& group, uint32_t type, const std::string& body) {
    Bytes f = frame(type, body);
    group.processRespData(f);
    settle(main.queue());
  }

  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  RelayRig rig;
  GVFlowGroupManager manager;
  std::shared_ptr<RecordingFlowDelegate> delegate = std::make_shared<RecordingFlowDelegate>();
};

TEST_F(FlowGroupTest, GroupingByServersAndLevel) {
  std::vector<GVEntrance> e1{{"1.1.1.1", {1}}};
  std::vector<GVExit> x1{{"12-3", "9.9.9.9"}};
  auto g1 = manager.flowGroupWithEntrances(e1, x1, 1, 0, 0, "first");
  ASSERT_TRUE(g1);
  // Same servers and level: the first group, its name and limits unchanged.
  auto again = manager.flowGroupWithEntrances(e1, x1, 1, 5, 5, "second");
  EXPECT_EQ(again, g1);
  EXPECT_EQ(again->groupName(), "first");
  EXPECT_EQ(again->rx(), 0);
  // Another level: another group.
  auto other = manager.flowGroupWithEntrances(e1, x1, 2, 0, 0, "");
  ASSERT_TRUE(other);
  EXPECT_NE(other, g1);
  // No exits: no group.
  EXPECT_EQ(manager.flowGroupWithEntrances(e1, {}, 1, 0, 0, ""), nullptr);
  // Without separators these two would read "1.1.1.112-31" alike.
  auto g2 = manager.flowGroupWithEntrances({{"1.1.1.11", {1}}}, {{"2-3", "9.9.9.9"}}, 1, 0, 0, "");
  ASSERT_TRUE(g2);
  EXPECT_NE(g2, g1);
  EXPECT_NE(g2->groupKeyId(), g1->groupKeyId());

  EXPECT_EQ(g1->groupKeyId(), 1u);
  EXPECT_EQ(other->groupKeyId(), 2u);
  EXPECT_EQ(g2->groupKeyId(), 3u);
  EXPECT_EQ(manager.caculateHashKeyFor(e1, x1, 1), g1->groupKeyId());
  EXPECT_EQ(manager.groupForKeyId(g2->groupKeyId()), g2);
  EXPECT_EQ(manager.groupForKeyId(99), nullptr);
  auto groups = manager.flowGroups();
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0], g1);
  EXPECT_EQ(manager.lastFlowGroup(), g2);
}

TEST_F(FlowGroupTest, ProbeScheduleReachesTheRelay) {
  auto group = makeGroup({rig.a, rig.b});
  group->startResolving();
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolving);
  auto hosts = group->socketHosts();
  EXPECT_EQ(hosts, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));

  advance(999ms);
  EXPECT_TRUE(rig.received(Q5Protocol::kEcho).empty()) << "nothing before +1 s";
  advance(1ms);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 8));
  // Six pairs: one detect frame each per wave.
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kDetect, 6));
  std::vector<std::string> numbers;
  for (auto& r : rig.received(Q5Protocol::kEcho)) numbers.push_back(text(r.body));
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
  // Probes alternate entrances: odd numbers to the first, even to the second.
  for (auto& r : rig.received(Q5Protocol::kEcho)) {
    int n = std::stoi(text(r.body));
    EXPECT_EQ(r.local.rfind(n % 2 ? "127.0.0.2:" : "127.0.0.3:", 0), 0u) << r.local << " " << n;
  }
  EXPECT_EQ(rig.received(Q5Protocol::kDetect).size(), 6u) << "the second wave waits for +1.03 s";

  advance(29ms);
  EXPECT_EQ(rig.received(Q5Protocol::kDetect).size(), 6u);
  advance(1ms);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kDetect, 12));
  // Each pair is asked twice, with the group's figures.
  std::map<std::string, int> asked;
  for (auto& r : rig.received(Q5Protocol::kDetect)) {
    auto j = nlohmann::json::parse(text(r.body));
    EXPECT_EQ(j["flag"], "B");
    EXPECT_EQ(j["flow_level"], 2);
    asked[j["target_ip"].get<std::string>() + "|" + j["nat_ip"].get<std::string>()]++;
  }
  EXPECT_EQ(asked.size(), 6u);
  for (auto& [key, n] : asked) EXPECT_EQ(n, 2) << key;

  // The relay answers everything on loopback: the group resolves to a real pair.
  ASSERT_TRUE(main.queue().runUntil([&] { return group->BDetectResultMap().size() == 6; }));
  advance(4s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  ASSERT_EQ(delegate->best.size(), 1u);
  EXPECT_LT(delegate->best[0].score, 12000);
  EXPECT_EQ(delegate->all.at(0).size(), 6u);
}

TEST_F(FlowGroupTest, WorkedExampleScores134) {
  rig.silence(true);
  auto group = makeGroup({rig.a, rig.b});
  group->startResolving();
  advance(1s);
  // Probes 1, 3, 5, 7 went to a; answer three of them.
  advance(40ms);
  answer(*group, Q5Protocol::kEchoAnswer, "1");
  advance(10ms);
  answer(*group, Q5Protocol::kEchoAnswer, "3");
  advance(11ms);
  answer(*group, Q5Protocol::kEchoAnswer, "5");
  answer(
      *group, Q5Protocol::kDetectAnswer,
      R"({"target_ip":"127.0.0.2","nat_ip":"10.9.0.2","delay":80999,"reply_count":9,"total_count":10})");
  // A 57 % loss at 100 ms: (0.57 + 1.0) * 100 truncates to 156.
  answer(
      *group, Q5Protocol::kDetectAnswer,
      R"({"target_ip":"127.0.0.3","nat_ip":"10.9.0.1","delay":100000,"reply_count":43,"total_count":100})");
  advance(4s);

  ASSERT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  ASSERT_EQ(delegate->all.size(), 1u);
  const auto& results = delegate->all[0];
  ASSERT_EQ(results.size(), 6u);
  const GVResolveResultItem& best = results[0];
  EXPECT_EQ(best.entrance.ip, "127.0.0.2");
  EXPECT_EQ(best.exit.nat, "10.9.0.2");
  EXPECT_EQ(best.ADelay, 37);
  EXPECT_EQ(best.ALost, 25);
  EXPECT_EQ(best.AScore, 46);
  EXPECT_EQ(best.BDelay, 80);
  EXPECT_EQ(best.BLost, 10);
  EXPECT_EQ(best.BScore, 88);
  EXPECT_EQ(best.score, 134);
  // Only the best result carries the chosen socket's port.
  EXPECT_TRUE(std::count(rig.a.ports.begin(), rig.a.ports.end(), best.port)) << best.port;
  for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i].port, 0);
  auto b = std::find_if(results.begin(), results.end(), [](auto& r) {
    return r.entrance.ip == "127.0.0.3" && r.exit.nat == "10.9.0.1";
  });
  ASSERT_NE(b, results.end());
  EXPECT_EQ(b->AScore, 6000);
  EXPECT_EQ(b->BScore, 156);
  EXPECT_TRUE(std::is_sorted(results.begin(), results.end(),
                             [](auto& x, auto& y) { return x.score < y.score; }));
  EXPECT_EQ(group->resolveEntrance()->ip, "127.0.0.2");
  EXPECT_EQ(group->socketPort(), best.port);

  // Late answers change nothing once the scoring ran.
  auto before = group->heartBeatResultMap();
  answer(*group, Q5Protocol::kEchoAnswer, "2");
  EXPECT_EQ(group->heartBeatResultMap().at(2).reciveTimestamp, before.at(2).reciveTimestamp);
  answer(
      *group, Q5Protocol::kDetectAnswer,
      R"({"target_ip":"127.0.0.3","nat_ip":"10.9.0.3","delay":1,"reply_count":1,"total_count":1})");
  EXPECT_EQ(group->BDetectResultMap().size(), 2u);
}

TEST_F(FlowGroupTest, NoAnswersScore12000AndChooseTheFirstPair) {
  rig.silence(true);
  auto group = makeGroup({rig.a, rig.b});
  group->startResolving();
  advance(5s);
  ASSERT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  ASSERT_EQ(delegate->all.size(), 1u);
  for (auto& r : delegate->all[0]) {
    EXPECT_EQ(r.score, 12000);
    EXPECT_EQ(r.ADelay, 3000);
    EXPECT_EQ(r.ALost, 100);
    EXPECT_EQ(r.BDelay, 3000);
    EXPECT_EQ(r.BLost, 100);
  }
  EXPECT_EQ(delegate->best.at(0).entrance.ip, "127.0.0.2");
  EXPECT_EQ(delegate->best.at(0).exit.addr, "1-1");
}

TEST_F(FlowGroupTest, BadAnswersAreDroppedWhileResolving) {
  rig.silence(true);
  auto group = makeGroup({rig.a});
  group->startResolving();
  advance(1s);
  const std::vector<std::pair<uint32_t, std::string>> bad = {
      {Q5Protocol::kDetectAnswer, "[1,2]"},
      {Q5Protocol::kDetectAnswer, "not json"},
      {Q5Protocol::kDetectAnswer,
       R"({"target_ip":"127.0.0.2","nat_ip":"10.9.0.1","delay":5,"reply_count":0,"total_count":0})"},
      {Q5Protocol::kDetectAnswer, R"({"target_ip":"127.0.0.2","nat_ip":"10.9.0.1","delay":5})"},
      {Q5Protocol::kDetectAnswer,
       R"({"target_ip":1,"nat_ip":"10.9.0.1","delay":5,"reply_count":1,"total_count":1})"},
      {Q5Protocol::kEchoAnswer, "x1"},
      {Q5Protocol::kEchoAnswer, std::string(5000, '9')},
      {Q5Protocol::kEchoAnswer, ""},
      {777, "whatever"},
  };
  for (auto& [type, body] : bad) answer(*group, type, body);
  uint8_t shortDatagram[3] = {1, 2, 3};
  group->processRespData(shortDatagram);
  settle(main.queue());
  EXPECT_TRUE(group->BDetectResultMap().empty());
  for (auto& [n, item] : group->heartBeatResultMap()) EXPECT_EQ(item.reciveTimestamp, 0) << n;

  // Huge figures are clamped rather than overflowing.
  answer(
      *group, Q5Protocol::kDetectAnswer,
      R"({"target_ip":"127.0.0.2","nat_ip":"10.9.0.1","delay":-5000,"reply_count":-9223372036854775807,"total_count":9223372036854775807})");
  auto map = group->BDetectResultMap();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second.delay, 0);
  EXPECT_EQ(map.begin()->second.loss, 100);
}

TEST_F(FlowGroupTest, StaleResolveWorkDoesNothing) {
  rig.silence(true);
  auto group = makeGroup({rig.a});
  group->startResolving();
  advance(3s);
  group->startResolving();  // at +3 s: the first scoring (+5 s) is stale
  advance(2s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolving);
  EXPECT_TRUE(delegate->all.empty());
  advance(3s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  EXPECT_EQ(delegate->all.size(), 1u);
  // Four probes per resolve: the stale rounds sent nothing extra.
  EXPECT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 8));
  EXPECT_EQ(rig.received(Q5Protocol::kEcho).size(), 8u);

  group->startResolving();
  advance(500ms);
  group->stop();
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusStopped);
  EXPECT_TRUE(group->socketHosts().empty());
  advance(10s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusStopped);
  EXPECT_EQ(delegate->all.size(), 1u);
  EXPECT_EQ(rig.received(Q5Protocol::kEcho).size(), 8u);
  Bytes packet(28, 0x45);
  EXPECT_FALSE(group->inputPacket(packet));
}

TEST_F(FlowGroupTest, PortlessEntranceIsSkipped) {
  rig.silence(true);
  GVEntrance portless{"127.0.0.2", {}};
  auto group = makeGroup({portless, rig.b});
  group->startResolving();
  EXPECT_EQ(group->socketHosts(), std::vector<std::string>{"127.0.0.3"});
  advance(1s);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 4));
  for (auto& r : rig.received(Q5Protocol::kEcho)) EXPECT_EQ(r.local.rfind("127.0.0.3:", 0), 0u);
  auto map = group->heartBeatResultMap();
  EXPECT_EQ(map.size(), 4u);
  EXPECT_EQ(map.begin()->first, 1);
  advance(4s);
  ASSERT_EQ(delegate->all.size(), 1u);
  ASSERT_EQ(delegate->all[0].size(), 3u);
  for (auto& r : delegate->all[0]) EXPECT_EQ(r.entrance.ip, "127.0.0.3");
}

TEST_F(FlowGroupTest, NoEntrancesFailsTheResolve) {
  auto group = makeGroup({});
  group->startResolving();
  advance(5s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusFailed);
  EXPECT_EQ(delegate->failed, 1);
  ASSERT_EQ(delegate->all.size(), 1u);
  EXPECT_TRUE(delegate->all[0].empty());
  Bytes packet(28, 0x45);
  EXPECT_FALSE(group->inputPacket(packet));
}

TEST_F(FlowGroupTest, PacketsWaitForAResolvedPairAndIncomingGoesToTheDelegate) {
  auto group = makeGroup({rig.a});
  Bytes packet{0x45, 0, 0, 20};
  EXPECT_FALSE(group->inputPacket(packet)) << "stopped";
  group->startResolving();
  EXPECT_FALSE(group->inputPacket(packet)) << "resolving";
  advance(5s);
  ASSERT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  EXPECT_TRUE(group->inputPacket(packet));
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusRunning);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kIPPacket, 1));
  auto sent = rig.received(Q5Protocol::kIPPacket).at(0);
  ASSERT_EQ(sent.body.size(), Q5Protocol::kIPPacketHeaderSize + packet.size());
  EXPECT_EQ(Q5Protocol::loadU32(sent.body.data()),
            Q5Protocol::exitFromString(group->resolveExit()->addr));
  EXPECT_EQ(Q5Protocol::loadU16(sent.body.data() + 4), 100);  // rx
  EXPECT_EQ(Q5Protocol::loadU16(sent.body.data() + 6), 200);  // tx
  // 401 bodies go to the delegate in any status, as they came.
  answer(*group, Q5Protocol::kIPPacketAnswer, "abc");
  EXPECT_EQ(delegate->packets.size(), 1u);
  group->stop();
}

}  // namespace
