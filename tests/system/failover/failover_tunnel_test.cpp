// Path failover of the tunnel engine on the real daemon, both variants: the game streams its UDP
// echo through entrance A; A goes silent; after four unanswered heartbeats the game's flow group
// resolves again, picks entrance B and the echo comes back through B, while the tunnel stays
// connected. A answering again changes nothing until the next resolve.
//
// The variants share one scene (namespaces, relay, echo server, service stand-ins) and run one
// after the other; each starts and stops its own daemon.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "FailoverScene.h"

using namespace std::chrono_literals;
using failover::kEntranceA;
using failover::kEntranceB;
using platform::netext::VpnStatus;

namespace {

struct World {
  tsl::Scene scene;
  std::unique_ptr<systest::Netns::Enter> inside;
  std::unique_ptr<failover::Services> services;
  std::string failure;
};
World* world = nullptr;

class FailoverTunnel : public ::testing::TestWithParam<failover::Variant> {
 protected:
  static void SetUpTestSuite() {
    if (!systest::skipReason().empty()) return;
    world = new World;
    std::string why;
    if (!world->scene.setUp(&why, failover::sceneOptions())) {
      world->failure = why;
      return;
    }
    // The service stand-ins live in cli with the daemon that calls them.
    world->inside = std::make_unique<systest::Netns::Enter>(world->scene.cli());
    world->services = std::make_unique<failover::Services>();
    if (!world->inside->entered() || !world->services->start())
      world->failure = "the service stand-ins did not start in cli";
  }
  static void TearDownTestSuite() {
    if (!world) return;
    world->services.reset();
    world->inside.reset();
    delete world;
    world = nullptr;
  }
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ASSERT_TRUE(world && world->failure.empty()) << (world ? world->failure : "");
    for (const char* ip : {kEntranceA, kEntranceB})
      ASSERT_EQ(failover::setEntrance(scene(), ip, "normal"), "ok");
  }

  static const tsl::Scene& scene() { return world->scene; }
};

TEST_P(FailoverTunnel, SilentEntranceGivesWayToTheOtherOne) {
  const failover::Variant variant = GetParam();
  const int64_t began = failover::nowMs();
  // cli checks reverse paths strictly, as many desktops do. The daemon keeps that setting: the
  // answers to what it passes down carry its mark back (connection mark, src_valid_mark), so the
  // check routes them as marked.
  const std::string strictness =
      "sysctl -n net.ipv4.conf.all.rp_filter net.ipv4.conf.all.src_valid_mark";
  ASSERT_TRUE(scene().cli().ok("sysctl -qw net.ipv4.conf.all.src_valid_mark=0"));
  ASSERT_EQ(scene().cli().sh(strictness).output, "1\n0\n");
  failover::Tunnel tunnel(scene());
  ASSERT_EQ(tunnel.start(variant, *world->services), "");
  EXPECT_EQ(scene().cli().sh(strictness).output, "1\n1\n");
  failover::Stream stream;
  ASSERT_TRUE(stream.start(scene(), 90s));

  // The first resolve picks A; the stream then runs through it and its heartbeat is answered.
  ASSERT_TRUE(systest::waitFor(
      [&] {
        auto a = failover::trafficOn(scene().relayFrames(), kEntranceA, began);
        return a.answersOut > 0 && a.heartbeatsIn > 0;
      },
      20s))
      << "the stream never ran through A\n"
      << stream.log() << tunnel.log();
  EXPECT_EQ(failover::trafficOn(scene().relayFrames(), kEntranceB, began).framesIn, 0u);

  // A goes silent in the middle of play.
  ASSERT_EQ(failover::setEntrance(scene(), kEntranceA, "silent"), "ok");
  const int64_t cut = failover::switchedAt(scene().relayFrames(), kEntranceA, "silent", began);
  ASSERT_GT(cut, 0) << "the relay did not record the switch";

  // The flow group resolves again and carries the stream through B.
  const auto deadline = failover::kTunnelFloor + 15s;
  ASSERT_TRUE(systest::waitFor(
      [&] {
        auto b = failover::trafficOn(scene().relayFrames(), kEntranceB, cut);
        return b.answersOut > 0 && b.heartbeatsIn > 0;
      },
      deadline))
      << "the stream did not come back through B\n"
      << stream.log();
  auto gap = stream.waitGapEndingAfter(cut, 5s);
  ASSERT_TRUE(gap) << stream.log();

  const auto frames = scene().relayFrames();
  const auto a = failover::trafficOn(frames, kEntranceA, cut);
  const auto b = failover::trafficOn(frames, kEntranceB, cut);
  // A: the heartbeats that went unanswered, then the new resolve's probes, all unanswered.
  EXPECT_GE(a.heartbeatsIn, static_cast<size_t>(failover::kHeartbeatLossLimit));
  EXPECT_GE(a.probesIn, 1u);
  EXPECT_GE(a.detectsIn, 1u);
  // An answer already on its way when A went silent may still be recorded just after the cut;
  // from the first game frame that reached A after the cut on, nothing may come back.
  const auto aLater = failover::trafficOn(frames, kEntranceA, a.first400 ? a.first400 + 1 : cut);
  EXPECT_EQ(aLater.answersOut, 0u);
  // B: probed by the same resolve, then the game's frames and their answers.
  EXPECT_GE(b.probesIn, 1u);
  EXPECT_GE(b.detectsIn, 1u);
  EXPECT_GE(b.framesIn, 1u);
  // The resolve began only after the silence count: at least three heartbeat intervals after
  // the cut (the cut may fall just before a heartbeat), and B carried the game only after its
  // scoring, some 4 s after the probes.
  int64_t firstProbeB = 0;
  for (const auto& f : frames)
    if (f.local == failover::pairOf(kEntranceB) && f.incoming && f.timeMs >= cut &&
        (f.type == 500 || f.type == 300)) {
      firstProbeB = f.timeMs;
      break;
    }
  ASSERT_GT(firstProbeB, 0);
  EXPECT_GE(firstProbeB - cut,
            (failover::kHeartbeatInterval * (failover::kHeartbeatLossLimit - 1)).count() - 200)
      << "resolved again before the heartbeats were lost";
  EXPECT_GE(b.first400 - firstProbeB, 3500) << "B carried the game before the scoring";
  // While the group resolved, the game's packets were passed down and answered directly.
  EXPECT_LT(gap->to, b.firstAnswer) << "nothing answered the game until B carried it";
  // The game's service learns the new best path.
  EXPECT_TRUE(systest::waitFor(
      [&] {
        auto best = world->services->reportedBestEntrances();
        return !best.empty() && best.back() == kEntranceB;
      },
      5s));
  // Failover is the flow group's own business: the tunnel stays connected throughout.
  for (VpnStatus s : tunnel.statuses()) EXPECT_EQ(s, VpnStatus::Connected);

  // A answering again changes nothing until the next resolve: two more heartbeats on B, nothing
  // on A.
  ASSERT_EQ(failover::setEntrance(scene(), kEntranceA, "normal"), "ok");
  const int64_t back = failover::switchedAt(scene().relayFrames(), kEntranceA, "normal", cut);
  ASSERT_GT(back, 0);
  ASSERT_TRUE(systest::waitFor(
      [&] {
        return failover::trafficOn(scene().relayFrames(), kEntranceB, back).heartbeatsIn >= 2;
      },
      failover::kHeartbeatInterval * 3));
  const auto after = failover::trafficOn(scene().relayFrames(), kEntranceA, back);
  EXPECT_EQ(after.framesIn + after.probesIn + after.heartbeatsIn + after.detectsIn, 0u);
  EXPECT_GE(failover::trafficOn(scene().relayFrames(), kEntranceB, back).answersOut, 1u);

  auto out = stream.stop();
  EXPECT_NE(out.find("stream end"), std::string::npos) << out;
  EXPECT_EQ(tunnel.stop(), std::optional<int>(0)) << tunnel.log();
  EXPECT_EQ(scene().cli().sh(strictness).output, "1\n0\n");
  std::printf(
      "%s variant: no answer for %lld ms, through B %lld ms after the cut (floor %lld ms)\n",
      failover::nameOf(variant), static_cast<long long>(gap->ms),
      static_cast<long long>(b.firstAnswer - cut),
      static_cast<long long>(failover::kTunnelFloor.count()));
}

INSTANTIATE_TEST_SUITE_P(Variants, FailoverTunnel,
                         ::testing::Values(failover::Variant::Line, failover::Variant::Game),
                         [](const auto& info) {
                           return std::string(failover::nameOf(info.param));
                         });

}  // namespace
