// The older main window's heartbeat against scripted services, in virtual time.
#include <memory>

#include "LegacyTestSupport.h"
#include "gelmora/Legacy/LegacyHeartbeat.h"

namespace {

using F = FakeLegacyServices;

class HeartbeatTest : public LegacyLogicTest {
 protected:
  HeartbeatTest() {
    beat = std::make_unique<LegacyHeartbeat>(services, state, view, [this] {
      ++stops;
      state.speedState = 1;
    });
  }
  ~HeartbeatTest() override {
    services.release("heartBeat");
    beat->drain();
    beat.reset();
  }
  void beatOnce() {
    beat->tick();
    beat->drain();
    mainQueue.pump();
  }
  std::unique_ptr<LegacyHeartbeat> beat;
  int stops = 0;
};

TEST_F(HeartbeatTest, TimerBeatsEvery120Seconds) {
  beat->startTimer();
  clock.advance(std::chrono::seconds(119));
  mainQueue.pump();
  beat->drain();
  EXPECT_EQ(services.count("heartBeat"), 0);
  for (int i = 1; i <= 3; ++i) {
    clock.advance(std::chrono::seconds(i == 1 ? 1 : 120));
    mainQueue.pump();
    beat->drain();
    EXPECT_EQ(services.count("heartBeat"), i);
  }
  beat->stopTimer();
  clock.advance(std::chrono::seconds(600));
  mainQueue.pump();
  EXPECT_EQ(services.count("heartBeat"), 3);
}

TEST_F(HeartbeatTest, SixtyFailuresInARowWhileRunningAlertAndStop) {
  services.script("heartBeat", {F::failure("超时")});
  state.speedState = 3;
  for (int i = 0; i < 59; ++i) beatOnce();
  EXPECT_TRUE(view.alerts.empty());
  EXPECT_EQ(state.heartBeatErrorTimes, 59);
  beatOnce();
  ASSERT_EQ(view.alerts.size(), 1u);
  EXPECT_EQ(view.alerts[0].message, "心跳检测失败");
  EXPECT_EQ(view.alerts[0].info, "超时");
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(state.heartBeatErrorTimes, 0);
}

TEST_F(HeartbeatTest, ASuccessOrAStoppedFailureRestartsTheCount) {
  state.speedState = 3;
  services.script("heartBeat",
                  {F::failure("x"), F::failure("x"), F::reply({{"code", 0}}), F::failure("x")});
  beatOnce();
  beatOnce();
  EXPECT_EQ(state.heartBeatErrorTimes, 2);
  beatOnce();
  EXPECT_EQ(state.heartBeatErrorTimes, 0);
  beatOnce();
  EXPECT_EQ(state.heartBeatErrorTimes, 1);
  state.speedState = 1;
  for (int i = 0; i < 70; ++i) beatOnce();
  EXPECT_EQ(state.heartBeatErrorTimes, 0);
  EXPECT_TRUE(view.alerts.empty());
  EXPECT_EQ(stops, 0);
}

TEST_F(HeartbeatTest, ReplyRefreshesAccountAndPopup) {
  nlohmann::json reply = {{"code", 0}, {"data", {{"username", "u"}, {"pop", 1}}}};
  services.script("heartBeat", {F::reply(reply)});
  beatOnce();
  ASSERT_EQ(view.applied.size(), 1u);
  EXPECT_EQ(view.applied[0], reply);
  ASSERT_EQ(view.popups.size(), 1u);
}

struct LimitCase {
  const char* name;
  int speedState;
  nlohmann::json data;
  std::vector<std::string> expected;  // argument log
};

TEST_F(HeartbeatTest, StreamLimitAndEntranceOnlyWhileRunning) {
  nlohmann::json entrances = nlohmann::json::array(
      {{{"ip", "198.51.100.1"}, {"ports", {7000}}}, {{"ip", "198.51.100.2"}, {"ports", {7001}}}});
  std::vector<LimitCase> cases = {
      {"running",
       3,
       {{"up_stream_limit", 100}, {"down_stream_limit", "200"}},
       {"UpdateStreamLimit:100,200"}},
      {"absent limits are 0", 3, {{"x", 1}}, {"UpdateStreamLimit:0,0"}},
      {"wrong kind skips the limit only",
       3,
       {{"up_stream_limit", {1}}, {"entrance", entrances}},
       {"SelectEntrancePort:198.51.100.1", "SelectEntrancePort:198.51.100.2",
        "UpdateEntranceIP:198.51.100.2,7001"}},
      {"stopped: no limit, no probe", 1, {{"up_stream_limit", 1}, {"entrance", entrances}}, {}},
      {"entrance not a list", 3, {{"entrance", "198.51.100.1"}}, {"UpdateStreamLimit:0,0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLegacyServices fake;
    fake.script("heartBeat", {F::reply({{"code", 0}, {"data", c.data}})});
    // The first entrance stays silent, the second answers.
    fake.script("SelectEntrancePort", {F::reply({{"port", 0}, {"delay", 3000}}),
                                       F::reply({{"port", 7001}, {"delay", 40}})});
    LegacyMainState st;
    st.speedState = c.speedState;
    LegacyHeartbeat hb(fake, st, view, [] {});
    hb.tick();
    hb.drain();
    mainQueue.pump();
    EXPECT_EQ(fake.argumentLog(), c.expected);
  }
}

TEST_F(HeartbeatTest, EntrancesThatAllStaySilentChangeNothing) {
  state.speedState = 3;
  services.script(
      "heartBeat",
      {F::reply(
          {{"code", 0}, {"data", {{"entrance", {{{"ip", "198.51.100.1"}, {"ports", {1}}}}}}}})});
  services.script("SelectEntrancePort", {F::reply({{"port", 0}, {"delay", 3000}})});
  beatOnce();
  EXPECT_EQ(services.count("SelectEntrancePort"), 1);
  EXPECT_EQ(services.count("UpdateEntranceIP"), 0);
}

TEST_F(HeartbeatTest, ABlockedBeatPlusTwoTicksGivesExactlyOneMoreBeat) {
  services.hold("heartBeat");
  beat->tick();
  ASSERT_TRUE(services.waitHeld("heartBeat"));
  beat->tick();
  beat->tick();
  EXPECT_EQ(services.count("heartBeat"), 1);
  services.release("heartBeat");
  beat->drain();
  EXPECT_EQ(services.count("heartBeat"), 2);
}

TEST_F(HeartbeatTest, MustHeartbeatOnceWaitsFiveAndAHalfSeconds) {
  beat->mustHeartbeatOnce();
  clock.advance(std::chrono::milliseconds(5499));
  mainQueue.pump();
  beat->drain();
  EXPECT_EQ(services.count("heartBeat"), 0);
  clock.advance(std::chrono::milliseconds(1));
  mainQueue.pump();
  beat->drain();
  EXPECT_EQ(services.count("heartBeat"), 1);
}

}  // namespace
