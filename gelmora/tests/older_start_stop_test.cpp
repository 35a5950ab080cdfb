// Start and stop of the older main window against scripted services, in virtual time.
#include <algorithm>
#include <memory>

#include "LegacyTestSupport.h"
#include "gelmora/Legacy/LegacyStartSequence.h"

namespace {

using F = FakeLegacyServices;

class StartStopTest : public LegacyLogicTest {
 protected:
  StartStopTest() { seq = std::make_unique<LegacyStartSequence>(services, state, view); }
  ~StartStopTest() override {
    runUntil([&] { return state.speedState != 2 && !view.starting; });
    seq.reset();
  }
  std::unique_ptr<LegacyStartSequence> seq;
};

struct FailCase {
  const char* name;
  std::vector<std::pair<std::string, std::vector<F::Outcome>>> script;
  std::string alertInfo;
  bool connected;  // whether the connection had been opened
};

TEST_F(StartStopTest, EachFailingStepShowsItsAlertAndReturnsToIdle) {
  const std::string A = LegacyStartSequence::kFailureA;
  std::vector<FailCase> cases = {
      {"filter missing", {{"existKEXT", {F::no()}}}, A, false},
      {"rules fail twice",
       {{"getRules", {F::failure("网络错误"), F::failure("规则请求失败")}}},
       "规则请求失败",
       true},
      {"library fails twice", {{"updateIpPacket", {F::no(), F::no()}}}, "IP库更新失败", true},
      {"parser text",
       {{"updateWithRulelistReturnObject", {F::parseFailure("无可用入口服务器")}}},
       "无可用入口服务器",
       true},
      {"push refused", {{"setRulesToKext", {F::no()}}}, A, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLegacyServices fake;
    for (const auto& [op, outcomes] : c.script) fake.script(op, outcomes);
    RecordingMainView v;
    LegacyMainState st;
    {
      LegacyStartSequence s(fake, st, v);
      s.start();
      ASSERT_TRUE(runUntil([&] {
        return !v.alerts.empty() && !v.starting && st.speedState == 1 &&
               v.startControlText == "启动加速";
      }));
      s.drain();
      mainQueue.pump();
      ASSERT_EQ(v.alerts.size(), 1u);
      EXPECT_EQ(v.alerts[0].message, "");
      EXPECT_EQ(v.alerts[0].info, c.alertInfo);
      EXPECT_EQ(v.progressText, "0");
      EXPECT_EQ(st.speedProgress, 0);
      EXPECT_EQ(fake.count("openKextConnection"), c.connected ? 1 : 0);
      // The connection is closed and the filter unloaded, after the failure, in this order.
      auto calls = fake.calls();
      ASSERT_GE(calls.size(), 2u);
      EXPECT_EQ(calls[calls.size() - 2], "unloadMessagePipe");
      EXPECT_EQ(calls.back(), "unloadKEXT");
      EXPECT_FALSE(s.speedTimerRunning());
      EXPECT_TRUE(v.popups.empty());
    }
  }
}

TEST_F(StartStopTest, RetriedStepsGoOnAfterOneFailure) {
  services.script("getRules", {F::failure("once"), F::reply({{"code", 0}, {"data", {{"a", 1}}}})});
  services.script("updateIpPacket", {F::no(), F::yes()});
  seq->start();
  ASSERT_TRUE(runUntil([&] { return state.speedState == 3 && !view.popups.empty(); }));
  EXPECT_EQ(services.count("getRules"), 2);
  EXPECT_EQ(services.count("updateIpPacket"), 2);
  EXPECT_TRUE(view.alerts.empty());
}

TEST_F(StartStopTest, SuccessRunsTheStepsInOrderAndShowsTheReplysPopup) {
  nlohmann::json rules = {{"code", 0}, {"data", {{"pop", 1}, {"pop_content", "欢迎"}}}};
  services.script("getRules", {F::reply(rules)});
  seq->start();
  EXPECT_FALSE(view.starting);  // the first wait comes before the control changes
  ASSERT_TRUE(runUntil([&] { return view.starting; }));
  EXPECT_EQ(view.startControlText, "正在启动加速 ...");
  ASSERT_TRUE(runUntil([&] { return !view.popups.empty(); }));
  EXPECT_EQ(state.speedState, 3);
  EXPECT_EQ(view.popups.back(), rules);
  EXPECT_EQ(view.startControlText, "启动加速");
  EXPECT_EQ(view.progressText, "0");
  EXPECT_GE(view.speedTabs, 1);
  EXPECT_TRUE(seq->speedTimerRunning());
  auto calls = services.calls();
  std::vector<std::string> expected = {"unloadKEXT",
                                       "loakKEXT",
                                       "existKEXT",
                                       "openKextConnection",
                                       "getRules",
                                       "updateIpPacket",
                                       "updateWithRulelistReturnObject",
                                       "setRulesToKext"};
  std::vector<std::string> steps;
  for (const auto& c : calls) {
    if (c != "getUpstreamlimit" && c != "getDownstreamlimit") steps.push_back(c);
  }
  EXPECT_EQ(steps, expected);
  auto reported = services.reportedLines();
  EXPECT_NE(std::find(reported.begin(), reported.end(), "启动加速"), reported.end());

  // Progress shown while starting: multiples of 5, climbing by at most 5, up to 100.
  int last = 0, highest = 0;
  for (const auto& t : view.progressHistory) {
    int n = std::stoi(t);
    EXPECT_EQ(n % 5, 0) << t;
    if (n != 0) {
      EXPECT_LE(n - last, 5);
    }
    last = n;
    highest = std::max(highest, n);
  }
  EXPECT_LE(highest, 100);
}

TEST_F(StartStopTest, ShownProgressNeverPassesTheTargetReached) {
  services.hold("getRules");  // the target stays at 30 while the rules are fetched
  seq->start();
  ASSERT_TRUE(runUntil([&] { return services.count("getRules") == 1; }));
  ASSERT_TRUE(services.waitHeld("getRules"));
  ASSERT_TRUE(runUntil([&] { return view.progressText == "30"; }));
  for (int i = 0; i < 20; ++i) clock.advance(std::chrono::milliseconds(50)), mainQueue.pump();
  EXPECT_EQ(view.progressText, "30");
  for (const auto& t : view.progressHistory) EXPECT_LE(std::stoi(t), 30);
  services.release("getRules");
  ASSERT_TRUE(runUntil([&] { return state.speedState == 3 && !view.popups.empty(); }));
}

TEST_F(StartStopTest, ASecondStartLeavesOneSpeedTimer) {
  seq->start();
  ASSERT_TRUE(runUntil([&] { return view.popups.size() == 1; }));
  seq->start();
  ASSERT_TRUE(runUntil([&] { return view.popups.size() == 2; }));
  EXPECT_EQ(seq->speedTimersMade(), 2);
  // One tick a second: each second refreshes the figures once.
  int before = view.speedRefreshes;
  clock.advance(std::chrono::seconds(3));
  mainQueue.pump();
  EXPECT_EQ(view.speedRefreshes - before, 3);
}

TEST_F(StartStopTest, SpeedFiguresWhileRunningAndWhileStopped) {
  seq->start();
  ASSERT_TRUE(runUntil([&] { return !view.popups.empty(); }));
  services.setTotals(2560, 3000000);
  seq->speedTick();
  EXPECT_EQ(view.upSpeed, "20.00 Kb/s");
  EXPECT_EQ(view.upTotal, "2.50 KB");
  EXPECT_EQ(view.downTotal, "2.86 MB");
  services.setTotals(100, 3000000);  // totals went down: no negative speed
  seq->speedTick();
  EXPECT_EQ(view.upSpeed, "0 b/s");
  EXPECT_EQ(view.downSpeed, "0 b/s");

  seq->stop(false);
  seq->speedTick();
  EXPECT_EQ(view.upSpeed, "0 Kb/s");
  EXPECT_EQ(view.upTotal, "0 Kb");
  EXPECT_EQ(services.getUpstreamlimit(), 0);
  EXPECT_EQ(state.lastDownLimit, 0);
}

TEST_F(StartStopTest, StopClosesUnloadsAndReportsWithOrWithoutPopup) {
  nlohmann::json end = {{"code", 0}, {"data", {{"pop", 1}}}};
  services.script("stopSpeed", {F::reply(end)});
  for (bool withPopup : {false, true}) {
    SCOPED_TRACE(withPopup);
    seq->start();
    ASSERT_TRUE(runUntil([&] {
      return state.speedState == 3 && !view.starting && seq->speedTimerRunning() &&
             !view.popups.empty();
    }));
    view.popups.clear();
    int tabs = view.speedTabs;
    bool reported = false;
    seq->stop(withPopup, [&] { reported = true; });
    EXPECT_EQ(state.speedState, 1);  // at once, before the worker's steps
    EXPECT_EQ(view.speedTabs, tabs + 1);
    ASSERT_TRUE(pumpUntil([&] { return reported; }));
    auto calls = services.calls();
    auto it = std::find(calls.rbegin(), calls.rend(), "stopSpeed");
    ASSERT_NE(it, calls.rend());
    EXPECT_EQ(*(it + 1), "unloadKEXT");
    EXPECT_EQ(*(it + 2), "unloadMessagePipe");
    EXPECT_EQ(view.popups.size(), withPopup ? 1u : 0u);
  }
}

}  // namespace
