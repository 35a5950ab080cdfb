// The 2-second heartbeat of a running flow group, in virtual time against the stand-in relay.
#include <gtest/gtest.h>

#include "FlowTestSupport.h"
#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"

using namespace flowtest;
namespace dispatch = platform::dispatch;

namespace {

class FlowGroupHeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    group = manager.flowGroupWithEntrances({rig.a}, threeExits(), 1, 0, 0, "hb");
    group->setDelegate(delegate);
    group->startResolving();
    advance(5s);
    ASSERT_EQ(group->status(), GVFlowGroup::kStatusResolved);
  }
  void TearDown() override { group->stop(); }

  void advance(std::chrono::nanoseconds d) { flowtest::advance(clock.clock(), main.queue(), d); }
  // Starts the heartbeat the way traffic does: the first packet moves 3 to 4.
  void run() {
    Bytes packet{0x45, 0, 0, 20};
    ASSERT_TRUE(group->inputPacket(packet));
    EXPECT_EQ(group->status(), GVFlowGroup::kStatusRunning);
    advance(0ms);
  }
  std::vector<std::string> heartbeats() const {
    std::vector<std::string> out;
    for (auto& r : rig.received(Q5Protocol::kEcho))
      if (text(r.body).rfind("__", 0) == 0) out.push_back(text(r.body));
    return out;
  }
  void inject(const std::string& body) {
    Bytes f = frame(Q5Protocol::kEchoAnswer, body);
    group->processRespData(f);
    settle(main.queue());
  }

  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  RelayRig rig;
  GVFlowGroupManager manager;
  std::shared_ptr<RecordingFlowDelegate> delegate = std::make_shared<RecordingFlowDelegate>();
  std::shared_ptr<GVFlowGroup> group;
};

TEST_F(FlowGroupHeartbeatTest, FirstPacketStartsBeatsTwoSecondsApart) {
  run();
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 5));  // four probes, then "__1"
  EXPECT_EQ(heartbeats(), std::vector<std::string>{"__1"});
  advance(1999ms);
  EXPECT_EQ(heartbeats().size(), 1u);
  advance(1ms);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 6));
  EXPECT_EQ(heartbeats(), (std::vector<std::string>{"__1", "__2"}));
  EXPECT_EQ(group->heartbeatSent(), 2u);
  // The relay answers both; answers reset the silence count.
  ASSERT_TRUE(main.queue().runUntil([&] {
    GVQueueFactory::getQueue()->sync([] {});
    return group->heartbeatRecived() == 2;
  }));
  EXPECT_EQ(group->timeoutHeartBeatCounter(), 0);
  // Leaving status 4 stops the beats.
  group->stop();
  advance(10s);
  EXPECT_EQ(heartbeats().size(), 2u);
}

TEST_F(FlowGroupHeartbeatTest, FiveSilentTicksResolveAgainFromProbeOne) {
  rig.silentHeartbeat(true);
  run();
  for (int tick = 2; tick <= 4; ++tick) advance(2s);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 8));
  EXPECT_EQ(group->timeoutHeartBeatCounter(), 4);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusRunning);

  clock.clock().advance(2s);  // the fifth tick: 8 s of silence
  GVQueueFactory::getQueue()->sync([] {});
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusHeartbeatLost);
  settle(main.queue());
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolving);
  EXPECT_EQ(group->heartbeatSent(), 0u) << "counters start again with the resolve";

  advance(1s);
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kEcho, 4 + 5 + 4));
  int ones = 0;
  for (auto& r : rig.received(Q5Protocol::kEcho)) ones += text(r.body) == "1";
  EXPECT_EQ(ones, 2) << "the new round numbers its probes from 1 again";
  // No more beats while resolving.
  advance(4s);
  EXPECT_EQ(heartbeats().size(), 5u);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusResolved);
}

TEST_F(FlowGroupHeartbeatTest, OneAnswerResetsTheSilenceCount) {
  rig.silentHeartbeat(true);
  run();
  advance(2s);
  advance(2s);
  EXPECT_EQ(group->timeoutHeartBeatCounter(), 3);
  inject("__3");
  EXPECT_EQ(group->timeoutHeartBeatCounter(), 0);
  for (int i = 0; i < 4; ++i) advance(2s);
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusRunning) << "four silent beats since the answer";
  clock.clock().advance(2s);
  GVQueueFactory::getQueue()->sync([] {});
  EXPECT_EQ(group->status(), GVFlowGroup::kStatusHeartbeatLost);
  settle(main.queue());
}

TEST_F(FlowGroupHeartbeatTest, DelayOfCurrentOlderAndNumberlessAnswers) {
  rig.silentHeartbeat(true);
  run();
  advance(2s);  // "__2" is the last sent
  struct Case {
    std::string body;
    std::chrono::milliseconds wait;
    int32_t delay;
  };
  const std::vector<Case> cases = {
      {"__2", 37ms, 37},   // current: time since it went out
      {"__1", 0ms, 3000},  // older than the last sent
      {"__", 0ms, 3000},   // no number counts as older
      {"__x7", 0ms, 3000},
      {"__9", 5ms, 42},  // newer than sent (a confused relay) still measures the time
  };
  uint64_t received = group->heartbeatRecived();
  for (const Case& c : cases) {
    advance(c.wait);
    inject(c.body);
    EXPECT_EQ(group->heartbeatDelay(), c.delay) << c.body;
    EXPECT_EQ(group->heartbeatRecived(), ++received) << c.body;
  }
}

}  // namespace
