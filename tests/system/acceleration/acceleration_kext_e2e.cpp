// Filter-mode acceleration end to end: the controller has the real zandrel load tamseld, fetches
// the rules from the older-service stand-in, probes the relay stand-in's entrance and paths,
// pushes the rules and answers the filter's path request; a listed game's UDP echo then travels in
// 400/401 frames and an unlisted one goes direct; the traffic totals follow; stop leaves nothing.
//
// The namespaces, relay, echo servers and test games are the filter suite's scene. The test
// process moves into the client namespace before any thread of the client exists, so the
// controller's queue, the control reader, the probes and the older-service stand-in all live
// there with tamseld (TEST-NET addresses only).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "OlderTestSupport.h"
#include "Scene.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/dispatch/PumpedQueue.h"
#include "systest/FilterControllerSetup.h"
#include "systest/Systest.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace rx = platform::reactive;

namespace {

constexpr int kFlowId = 5001;
constexpr char kNatText[] = "MjAzLjAuMTEzLjIwMA==";  // 203.0.113.200
const std::string kUdpEcho = std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);

// The listed game's rules, with stream limits.
nlohmann::json ruleList() {
  nlohmann::json list = tsl::gameRuleList(kFlowId);
  list["data"]["up_stream_limit"] = 100;
  list["data"]["down_stream_limit"] = 200;
  return list;
}

// The sockets and files this process holds open. Wake-up event descriptors of the long-lived
// transports and queues, made on first use, are not counted.
std::multiset<std::string> openDescriptors() {
  std::multiset<std::string> out;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = fs::read_symlink(e.path(), ec);
    if (ec || target.string().rfind("anon_inode:", 0) == 0) continue;
    out.insert(target.string());
  }
  return out;
}

// Inner IPv4 lengths of the relay's frames of one type and direction whose inner packet has
// `port` at the game's side.
int64_t ipBytes(const std::vector<tsl::RelayFrame>& frames, uint32_t type, int gamePort) {
  int64_t sum = 0;
  for (const auto& f : frames) {
    if (f.type != type || f.incoming != (type == 400)) continue;
    auto in = tsl::innerOf(f);
    if (!in || in->protocol != IPPROTO_UDP) continue;
    if ((type == 400 ? in->srcPort : in->dstPort) != gamePort) continue;
    sum += static_cast<int64_t>(in->packet.size());
  }
  return sum;
}

int portOf(const std::string& output) {
  auto at = output.find("udp " + kUdpEcho + " ok");
  if (at == std::string::npos) return -1;
  auto p = output.find("port=", at);
  return p == std::string::npos ? -1 : std::atoi(output.c_str() + p + 5);
}

class KextE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    std::string why;
    ASSERT_TRUE(scene.setUp(&why)) << why;
    inside = std::make_unique<systest::Netns::Enter>(scene.cli());
    ASSERT_TRUE(inside->entered());

    setup = std::make_unique<systest::FilterControllerSetup>(scene, ruleList());
    ASSERT_EQ(setup->error(), "");
  }

  void TearDown() override {
    if (!inside) return;
    if (controller) {
      controller->stop();
      controller->drain();
      controller.reset();
    }
    setup.reset();
    inside.reset();
  }

  // Runs one start to its end on the pumped main queue.
  std::vector<std::string> start() {
    std::vector<std::string> events;
    controller->setAlertSink([&](const std::string& text) { events.push_back("alert:" + text); });
    bool ended = false;
    controller->start().subscribe({nullptr,
                                   [&](const rx::Error& e) {
                                     events.push_back("error:" + std::to_string(e.code));
                                     ended = true;
                                   },
                                   [&] {
                                     events.push_back("completed");
                                     ended = true;
                                   }});
    EXPECT_TRUE(main.queue().runUntil([&] { return ended; }, 60s));
    controller->drain();
    main.queue().pump();
    return events;
  }

  tsl::Scene scene;
  std::unique_ptr<systest::Netns::Enter> inside;
  platform::dispatch::ScopedMainQueue main;
  std::unique_ptr<systest::FilterControllerSetup> setup;
  ConsoleCapture console;
  std::unique_ptr<TsKextVPNController> controller;
};

TEST_F(KextE2E, ListedGameTravelsThroughTheRelayAndStopLeavesNothing) {
  const auto fdsBefore = openDescriptors();
  controller = std::make_unique<TsKextVPNController>(TsKextVPNController::defaultSteps());
  ASSERT_EQ(start(), std::vector<std::string>{"completed"}) << scene.admin("stats");
  EXPECT_EQ(controller->status(), 3);
  auto pid = scene.tamseldPid();
  ASSERT_TRUE(pid);

  // Rules, flow id and switches are in the filter; entrance and path were probed at the relay.
  auto stats = nlohmann::json::parse(scene.admin("stats"), nullptr, false);
  ASSERT_TRUE(stats.is_object());
  EXPECT_EQ(stats["attached"], 1);
  EXPECT_EQ(stats["vni"], kFlowId);
  EXPECT_EQ(stats["lists"]["white_rule"], 1);
  EXPECT_EQ(stats["switches"]["intercept"], 1);
  size_t portProbes = 0, pathProbes = 0;
  for (const auto& f : scene.relayFrames()) {
    portProbes += f.incoming && f.type == 100;
    pathProbes += f.incoming && f.type == 300;
  }
  EXPECT_GE(portProbes, 1u);
  EXPECT_GE(pathProbes, 1u);

  // The listed game: its path request is answered with the probed entrance, then its echo goes
  // out in 400 frames carrying the run's flow id, the exit and its NAT text, and comes back.
  auto game = scene.game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(game.status, 0) << game.output << console.lines().size();
  const int gamePort = portOf(game.output);
  ASSERT_GT(gamePort, 0) << game.output;
  EXPECT_TRUE(console.anyContains("offset(2) in(" + std::string(tsl::kEntranceIP) + ":" +
                                  std::to_string(tsl::kEntrancePort) + ")"));
  auto frames = scene.relayFrames();
  size_t out = 0, back = 0;
  for (const auto& f : frames) {
    auto in = tsl::innerOf(f);
    if (!in || in->protocol != IPPROTO_UDP) continue;
    if (f.incoming && f.type == 400 && in->srcPort == gamePort) {
      ++out;
      ASSERT_TRUE(f.decoded);
      EXPECT_EQ(f.flowId, static_cast<uint32_t>(kFlowId));
      EXPECT_EQ(f.exit, (3u << 16) + 7u);
      EXPECT_EQ(f.nat, kNatText);
      EXPECT_EQ(in->dst, tsl::kEchoIP);
    }
    back += !f.incoming && f.type == 401 && in->dstPort == gamePort;
  }
  EXPECT_GE(out, 1u);
  EXPECT_GE(back, 1u);

  // The unlisted game's echo goes direct: no frame of its flow reaches the relay.
  auto other = scene.game("tslother", {"--udp", kUdpEcho});
  ASSERT_EQ(other.status, 0) << other.output;
  const int otherPort = portOf(other.output);
  ASSERT_GT(otherPort, 0);
  auto after = scene.relayFrames();
  EXPECT_EQ(ipBytes(after, 400, otherPort), 0);
  EXPECT_EQ(ipBytes(after, 401, otherPort), 0);

  // The filter's packet reports add up to the IP lengths of the game's flow, by direction.
  const int64_t up = ipBytes(after, 400, gamePort), down = ipBytes(after, 401, gamePort);
  EXPECT_GT(up, 0);
  EXPECT_TRUE(systest::waitFor(
      [&] { return TsParams::getUpstreamlimit() == up && TsParams::getDownstreamlimit() == down; },
      5s))
      << TsParams::getUpstreamlimit() << "/" << up << " " << TsParams::getDownstreamlimit() << "/"
      << down;

  // Stop: the client closes, the loader unloads, nothing of the filter is left.
  controller->stop();
  EXPECT_EQ(controller->status(), 1);
  controller->drain();
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_FALSE(Utils::existKEXT());
  EXPECT_TRUE(systest::waitFor([&] { return ::kill(*pid, 0) != 0; }, 5s)) << "tamseld still runs";
  const auto& cli = scene.cli();
  EXPECT_EQ(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");
  EXPECT_FALSE(cli.ok("ip link show tamsel0 2>/dev/null"));
  EXPECT_EQ(systest::sh("ls -A " + scene.runDir()).output, "");
  auto fdsAfter = openDescriptors();
  std::string left;
  for (auto& d : fdsAfter)
    if (!fdsBefore.count(d)) left += d + " ";
  EXPECT_EQ(fdsAfter.size(), fdsBefore.size()) << left;
}

}  // namespace
