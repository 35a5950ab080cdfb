// Path failover in filter mode, pinned: the acceleration controller starts tamseld, probes both
// entrances and answers the filter's path request with A, the faster one; the game streams its
// echo through A. When A goes silent nothing moves the game: the filter asked for its path once
// and keeps sending to A, the controller asks for no new path and still reports acceleration on,
// and B sees none of the game's frames. The game is cut off until A answers again, and then
// resumes through A without a new path request.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "FailoverScene.h"
#include "FilterAcceleration.h"

using namespace std::chrono_literals;
using failover::kEntranceA;
using failover::kEntranceB;

namespace {

// Frames of the stream that A must swallow after the cut before the outcome counts as settled
// (one every 20 ms): long past any answer in flight, and nothing in filter mode runs on a timer
// that could act on a silent entrance.
constexpr size_t kFramesAfterCut = 100;

TEST(FailoverFilter, SilentEntranceCutsTheGameOffUntilItAnswersAgain) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  tsl::Scene scene;
  std::string why;
  ASSERT_TRUE(scene.setUp(&why, failover::sceneOptions())) << why;
  // Into cli before any client thread exists, so all of them live there with tamseld.
  systest::Netns::Enter inside(scene.cli());
  ASSERT_TRUE(inside.entered());
  failover::FilterAcceleration accel(scene);
  const int64_t began = failover::nowMs();
  ASSERT_EQ(accel.start(), std::vector<std::string>{"completed"}) << scene.admin("stats");
  ASSERT_EQ(accel.status(), 3);

  failover::Stream stream;
  ASSERT_TRUE(stream.start(scene, 60s));
  ASSERT_TRUE(systest::waitFor(
      [&] { return failover::trafficOn(scene.relayFrames(), kEntranceA, began).answersOut > 0; },
      10s))
      << "the stream never ran through A\n"
      << stream.log() << scene.admin("stats");
  ASSERT_TRUE(stream.waitFirstAnswer(5s)) << stream.log();
  ASSERT_EQ(accel.pathRequests(), 1u);
  EXPECT_TRUE(accel.consoleContains("in(" + failover::pairOf(kEntranceA) + ")"));

  ASSERT_EQ(failover::setEntrance(scene, kEntranceA, "silent"), "ok");
  const int64_t cut = failover::switchedAt(scene.relayFrames(), kEntranceA, "silent", began);
  ASSERT_GT(cut, 0);
  ASSERT_TRUE(systest::waitFor(
      [&] {
        return failover::trafficOn(scene.relayFrames(), kEntranceA, cut).framesIn >=
               kFramesAfterCut;
      },
      10s))
      << "the game stopped sending to A\n"
      << stream.log();
  // Still A, only A, and nobody looks for another way: no path request, no entrance update, the
  // controller connected, the game unanswered.
  // An answer already on its way when the switch was noted may still be recorded just after it;
  // from the first game frame that reached A after the switch on, nothing may come back.
  const auto afterCut = failover::trafficOn(scene.relayFrames(), kEntranceA, cut);
  auto a = failover::trafficOn(scene.relayFrames(), kEntranceA, afterCut.first400 + 1);
  auto b = failover::trafficOn(scene.relayFrames(), kEntranceB, began);
  EXPECT_EQ(a.answersOut, 0u);
  EXPECT_EQ(b.framesIn, 0u);
  EXPECT_EQ(accel.pathRequests(), 1u);
  EXPECT_FALSE(accel.consoleContains("更新入口服务器"));
  EXPECT_EQ(accel.status(), 3);
  for (const auto& g : stream.gaps()) EXPECT_LE(g.to, cut) << "an answer came through";

  // A answers again: the game resumes through A, on the path it was given at the start.
  ASSERT_EQ(failover::setEntrance(scene, kEntranceA, "normal"), "ok");
  const int64_t back = failover::switchedAt(scene.relayFrames(), kEntranceA, "normal", cut);
  ASSERT_GT(back, 0);
  auto gap = stream.waitGapEndingAfter(back, 5s);
  ASSERT_TRUE(gap) << stream.log();
  // One silence, from before A came back (it began at the cut) to after.
  EXPECT_LT(gap->from, back);
  EXPECT_GE(gap->to, back);
  EXPECT_EQ(accel.pathRequests(), 1u);
  EXPECT_EQ(failover::trafficOn(scene.relayFrames(), kEntranceB, began).framesIn, 0u);
  EXPECT_NE(stream.stop().find("stream end"), std::string::npos);
  std::printf("filter mode: cut off %lld ms, as long as A was silent (%lld ms)\n",
              static_cast<long long>(gap->ms), static_cast<long long>(back - cut));

  accel.stop();
  EXPECT_EQ(accel.status(), 1);
}

}  // namespace
