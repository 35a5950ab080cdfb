// Tunnel-mode acceleration controller over the engine's line-service controller, against the
// account stand-in on loopback and a fake tunnel daemon, with the engine's delays in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "FakeTunnelDaemon.h"
#include "SessionTestSupport.h"
#include "gelmora/Core/TsVPNController.h"
#include "platform/dispatch/Clock.h"

namespace fs = std::filesystem;
using platform::netext::ControlError;
using platform::netext::TunnelProviderManager;
using platform::netext::VpnStatus;
using platform::netext::testing::FakeDaemon;

namespace {

const TsVPNController::Resolvers kResolvers{"192.0.2.53", "198.51.100.53"};

class TsVPNControllerTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    account.setRuleList({{"flow_id", 4242},
                         {"entrance", {{{"ip", "198.51.100.50"}, {"ports", {40001}}}}},
                         {"exists", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
                         {"rules", nlohmann::json::array()}});
    runDir = tmp.path() / "run";
    fs::create_directories(runDir);
    ::setenv("GALVENT_RUN_DIR", runDir.c_str(), 1);
    TunnelProviderManager::setPreferencesPath((runDir / "tunnels.json").string());
    daemon = std::make_unique<FakeDaemon>(
        (runDir / (std::string(TsVPNController::kProviderIdentifier) + ".sock")).string());
    controller = std::make_unique<TsVPNController>(*user, nullptr, kResolvers);
    platform::netext::TunnelLaunchSettings launch;
    launch.launcher = [this](const std::string&, const std::vector<std::string>&) {
      ++launches;
      return daemon->start() ? std::nullopt
                             : std::optional<ControlError>(ControlError{"test", 1, "listen"});
    };
    controller->vpn()->setLaunchSettings(launch);
  }
  void TearDown() override {
    controller.reset();
    daemon.reset();
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    SessionFixture::TearDown();
  }

  // Runs a start through the engine's 1.0 s delay.
  Outcome<bool> startAndWait() {
    controller->loadVPNManagerPreferences();
    main.pump();
    auto out = std::make_shared<Outcome<bool>>();
    auto d = controller->start().subscribe(
        {[out](const bool& v) { out->values.push_back(v); },
         [out](const platform::reactive::Error& e) { out->error = e; },
         [out] { out->completed = true; }});
    main.pump();
    clock.advance(std::chrono::seconds(1));
    EXPECT_TRUE(main.queue().runUntil([&] { return out->done(); }));
    return *out;
  }

  // Lets the engine's 3.0 s end-report delay pass and the answers come in.
  void passStopDelay() {
    main.pump();
    clock.advance(std::chrono::seconds(3));
    main.pump();
  }

  void startAndStop(int region, const char* resolver);
  void resignWith(VpnStatus daemonStatus, bool stops);

  platform::dispatch::ScopedVirtualClock clock;
  fs::path runDir;
  std::unique_ptr<FakeDaemon> daemon;
  std::unique_ptr<TsVPNController> controller;
  int launches = 0;
};

// One start and stop for a user of `region` (1: mainland China), who must get `resolver`.
void TsVPNControllerTest::startAndStop(int region, const char* resolver) {
  signIn(accountPayload({{"region", region}}));
  ASSERT_TRUE(user->session());

  auto out = startAndWait();
  ASSERT_TRUE(out.completed) << (out.error ? out.error->description : "");
  EXPECT_EQ(out.values, std::vector<bool>{true});
  EXPECT_EQ(controller->status(), 3);
  EXPECT_EQ(launches, 1);
  EXPECT_EQ(seen(account, "/q5client/rule/list").size(), 1u);

  auto expected = GVTunnelOptions::defaultOptions();
  expected.logEnable = false;
  expected.globalProxy = false;
  expected.groupIdentifier = "com.pelmoor.tessaryn.mac.tunnel";
  expected.ipDataFile = "q5_area_isp.data";
  expected.dnsServer = resolver;
  EXPECT_EQ(controller->tunnelOptions(), expected);
  auto sent = daemon->lastOptions();
  ASSERT_TRUE(sent.contains("tunnelOptions"));
  EXPECT_EQ(sent["tunnelOptions"], tq::toDictionary(expected));
  ASSERT_TRUE(sent.contains("tssession"));
  EXPECT_EQ(sent["tssession"]["baseDomain"], account.host());

  // The run's flow id from the rule list reached the user's session and its stored copy.
  ASSERT_TRUE(user->session()->speedInfo);
  EXPECT_EQ(user->session()->speedInfo->flow_id, tq::Number(4242));
  auto stored = TsUserController::sessionFromStoredData(defaults->sessionData().value_or(""));
  ASSERT_TRUE(stored && stored->speedInfo);
  EXPECT_EQ(stored->speedInfo->flow_id, tq::Number(4242));

  controller->stop();
  passStopDelay();
  EXPECT_TRUE(waitFor(account, "/q5client/speed/end", 1));
  EXPECT_NE(controller->status(), 3);
}

// Every option is the engine's default but the five this mode sets; the resolver follows the
// user's region.
TEST_F(TsVPNControllerTest, StartOutsideChinaTakesTheOtherResolver) {
  startAndStop(0, "198.51.100.53");
}
TEST_F(TsVPNControllerTest, StartInChinaTakesTheChinaResolver) { startAndStop(1, "192.0.2.53"); }

TEST_F(TsVPNControllerTest, EngineErrorsArriveAsTheStartError) {
  // Signed out: the engine has no session to start.
  auto none = startAndWait();
  ASSERT_TRUE(none.error);
  EXPECT_EQ(launches, 0);

  // The daemon refuses the start: the error comes through and nothing is saved.
  signIn();
  const auto before = defaults->sessionData();
  daemon->refuseStart = true;
  auto refused = startAndWait();
  ASSERT_TRUE(refused.error);
  EXPECT_FALSE(refused.completed);
  EXPECT_EQ(defaults->sessionData(), before);
  EXPECT_NE(controller->status(), 3);
}

// A resign while the tunnel is connecting leaves it; while connected it stops it.
void TsVPNControllerTest::resignWith(VpnStatus daemonStatus, bool stops) {
  ASSERT_TRUE(daemon->start(daemonStatus));
  controller->loadVPNManagerPreferences();
  ASSERT_TRUE(main.queue().runUntil(
      [&] { return controller->status() == static_cast<long long>(daemonStatus); }));
  center().post(TsUserWillResignNotification);
  settle();
  EXPECT_EQ(daemon->lastStopReason.load() >= 0, stops);
}
TEST_F(TsVPNControllerTest, ResignLeavesAConnectingTunnel) {
  resignWith(VpnStatus::Connecting, false);
}
TEST_F(TsVPNControllerTest, ResignStopsAConnectedTunnel) { resignWith(VpnStatus::Connected, true); }

TEST_F(TsVPNControllerTest, SendStopCMDStopsThenSignsOutAndRunsTheBlockOnce) {
  signIn();
  ASSERT_TRUE(startAndWait().completed);

  int calls = 0;
  controller->sendStopCMD([&] { ++calls; });
  passStopDelay();
  ASSERT_TRUE(main.queue().runUntil([&] { return calls > 0; }));
  settle();
  EXPECT_EQ(calls, 1);
  auto requests = account.requests();
  size_t end = requests.size(), logout = requests.size();
  for (size_t i = 0; i < requests.size(); ++i) {
    if (requests[i].path == "/q5client/speed/end") end = i;
    if (requests[i].path == "/q5client/user/logout") logout = i;
  }
  ASSERT_LT(end, requests.size());
  ASSERT_LT(logout, requests.size());
  EXPECT_LT(end, logout) << "the end report goes out before the sign-out";
  EXPECT_FALSE(user->session());

  // Signed out now: the stop errs at once, the sign-out is skipped, the block still runs once;
  // an empty block is simply not called.
  calls = 0;
  controller->sendStopCMD([&] { ++calls; });
  controller->sendStopCMD(nullptr);
  passStopDelay();
  settle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen(account, "/q5client/user/logout").size(), 1u);
}

// What the screens see, through the mode-independent interface alone: prepare() takes a fresh
// controller out of status 0, and each change of a start is announced on the main queue.
TEST_F(TsVPNControllerTest, PrepareAndStatusAnnouncementsThroughTheInterface) {
  signIn();
  AccelerationController& vpn = *controller;
  EXPECT_EQ(vpn.status(), 0);
  std::vector<long long> announced;
  auto observation = center().observe(platform::netext::NEVPNStatusDidChangeNotification,
                                      [&](const auto&) { announced.push_back(vpn.status()); });
  vpn.prepare();
  ASSERT_TRUE(main.queue().runUntil([&] { return vpn.status() == 1; }));

  bool completed = false;
  auto d = vpn.start().subscribe({nullptr, nullptr, [&] { completed = true; }});
  main.pump();
  clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return completed && vpn.status() == 3; }));
  ASSERT_FALSE(announced.empty());
  EXPECT_EQ(announced.back(), 3);
  EXPECT_NE(std::find(announced.begin(), announced.end(), 2), announced.end());

  announced.clear();
  vpn.stop();
  passStopDelay();
  ASSERT_TRUE(main.queue().runUntil([&] { return vpn.status() == 1; }));
  settle();
  ASSERT_FALSE(announced.empty());
  EXPECT_EQ(announced.back(), 1);
}

}  // namespace
