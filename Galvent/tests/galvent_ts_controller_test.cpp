// Line-variant tunnel controller against the account-service stand-in on loopback, in virtual
// time: the configuration load, the rule list before the tunnel, the end report after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "FakeTunnelDaemon.h"
#include "Galvent/VPN/GVTsVPNController.h"
#include "JolvexAPI/JolvexAPI.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/AccountServer.h"

namespace fs = std::filesystem;
using platform::netext::ControlError;
using platform::netext::TunnelProviderManager;
using platform::netext::VpnStatus;
using platform::netext::testing::FakeDaemon;

namespace {

const char* kProvider = "com.example.ts.tunnel";

class TsController : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    account.setRuleList({{"flow_id", 4242},
                         {"entrance", {{{"ip", "198.51.100.50"}, {"ports", {40001, 40002}}}}},
                         {"exists", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
                         {"rules", nlohmann::json::array()}});
    char templ[] = "/tmp/gv-ts-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    ::setenv("GALVENT_RUN_DIR", dir.c_str(), 1);
    TunnelProviderManager::setPreferencesPath(dir + "/tunnels.json");
    daemon = std::make_unique<FakeDaemon>(dir + "/" + kProvider + ".sock");
    controller = std::make_shared<GVTsVPNController>(kProvider, "relay.example", "Galvent");
    platform::netext::TunnelLaunchSettings launch;
    launch.launcher = [this](const std::string&, const std::vector<std::string>&) {
      ++launches;
      return daemon->start() ? std::nullopt
                             : std::optional<ControlError>(ControlError{"test", 1, "listen"});
    };
    controller->setLaunchSettings(launch);
    observation = std::make_unique<platform::notifications::Observation>(
        platform::notifications::NotificationCenter::defaultCenter().observe(
            platform::netext::NEVPNStatusDidChangeNotification,
            [this](const platform::notifications::Notification&) { ++notifications; }));
  }
  void TearDown() override {
    observation.reset();
    controller.reset();
    daemon.reset();
    set_JVXDomain(std::nullopt);
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    account.stop();
    fs::remove_all(dir);
  }

  std::shared_ptr<GVTsSession> session() {
    auto s = std::make_shared<GVTsSession>();
    JVX_USER_INFO info;
    info.uid = 501;
    s->userInfo = info;
    s->mac = "02:00:00:00:00:02";
    s->entrances = std::vector<nlohmann::json>{{{"ip", "198.51.100.50"}, {"ports", {40001}}}};
    JVX_EXIT exit;
    exit.addr = "3-7";
    exit.nat = "10.0.0.7";
    s->exits = std::vector<JVX_EXIT>{exit};
    s->areaId = "86";
    s->accelerationMode = 2;
    s->ruleGroups = std::vector<nlohmann::json>{1, 2};
    JVX_SPEED_START_INFO old;
    old.flow_id = 1;
    s->speedInfo = old;
    return s;
  }

  std::optional<standin::account::SeenRequest> last(const std::string& path) {
    std::optional<standin::account::SeenRequest> found;
    for (auto& r : account.requests()) {
      if (r.path.find(path) != std::string::npos) found = r;
    }
    return found;
  }

  std::string readPrefs() {
    std::ifstream in(dir + "/tunnels.json", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  std::vector<TunnelProviderManager::Ptr> loadAll() {
    std::vector<TunnelProviderManager::Ptr> out;
    TunnelProviderManager::loadAllFromPreferences(
        [&](std::vector<TunnelProviderManager::Ptr> all, std::optional<ControlError>) {
          out = std::move(all);
        });
    main.pump();
    return out;
  }

  platform::dispatch::ScopedMainQueue main;
  platform::dispatch::ScopedVirtualClock clock;
  standin::account::AccountServer account;
  std::unique_ptr<FakeDaemon> daemon;
  std::string dir;
  int launches = 0;
  int notifications = 0;
  std::shared_ptr<GVTsVPNController> controller;
  std::unique_ptr<platform::notifications::Observation> observation;
};

TEST_F(TsController, LoadKeepsTheFirstConfigurationAndRemovesTheOthers) {
  for (const char* name : {"first", "second"}) {
    auto m = TunnelProviderManager::create();
    m->setLocalizedDescription(name);
    m->saveToPreferences({});
  }
  main.pump();
  auto before = loadAll();
  ASSERT_EQ(before.size(), 2u);

  controller->loadVPNManagerPreferences();
  main.pump();
  auto after = loadAll();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0]->identifier(), before[0]->identifier());
  EXPECT_EQ(controller->manager()->identifier(), before[0]->identifier());
  EXPECT_EQ(after[0]->localizedDescription(), "Galvent");
  ASSERT_TRUE(after[0]->protocolConfiguration());
  EXPECT_EQ(after[0]->protocolConfiguration()->providerBundleIdentifier, kProvider);
  EXPECT_EQ(after[0]->protocolConfiguration()->serverAddress, "relay.example");
  EXPECT_TRUE(after[0]->enabled());
  EXPECT_FALSE(after[0]->onDemandEnabled());
  EXPECT_EQ(notifications, 1);
  EXPECT_EQ(controller->status(), VpnStatus::Disconnected);
}

TEST_F(TsController, LoadWhileConnectedWritesNothingAndStillNotifies) {
  auto m = TunnelProviderManager::create();
  m->setProtocolConfiguration(platform::netext::TunnelProviderProtocol{kProvider, "old.example"});
  m->setLocalizedDescription("Old");
  m->saveToPreferences({});
  main.pump();
  ASSERT_TRUE(daemon->start(VpnStatus::Connected));
  const std::string saved = readPrefs();

  controller->loadVPNManagerPreferences();
  main.pump();
  EXPECT_EQ(readPrefs(), saved);
  EXPECT_EQ(notifications, 1);
  EXPECT_EQ(controller->status(), VpnStatus::Connected);
  EXPECT_EQ(launches, 0);
}

TEST_F(TsController, StartFetchesTheRuleListThenStartsTheTunnel) {
  controller->loadVPNManagerPreferences();
  main.pump();
  auto s = session();
  GVTunnelOptions tunnelOptions = GVTunnelOptions::defaultOptions();
  tunnelOptions.MTU = 1300;
  std::optional<GVLaunchOptions> seen;
  bool hadConnection = false;
  std::vector<GVLaunchOptions> values;
  std::optional<TQError> error;
  bool completed = false;
  auto d = controller
               ->startSession(s, tunnelOptions,
                              [&](const GVLaunchOptions& o, const auto& connection) {
                                seen = o;
                                hadConnection = connection != nullptr;
                              })
               .subscribe({[&](const GVLaunchOptions& v) { values.push_back(v); },
                           [&](const TQError& e) { error = e; }, [&] { completed = true; }});
  main.pump();
  clock.advance(std::chrono::milliseconds(999));
  main.pump();
  EXPECT_FALSE(last("rule/list")) << "nothing before 1.0 s";
  clock.advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return completed || error; }));
  ASSERT_FALSE(error) << error->description;

  auto request = last("rule/list");
  ASSERT_TRUE(request && request->info);
  const auto& info = *request->info;
  EXPECT_EQ(info["mac"], "02:00:00:00:00:02");
  EXPECT_EQ(info["uid"], 501);
  EXPECT_EQ(info["entrances"],
            nlohmann::json::parse(R"([{"ip":"198.51.100.50","ports":[40001]}])"));
  EXPECT_EQ(info["exits"], nlohmann::json::parse(R"([{"addr":"3-7","nat":"10.0.0.7"}])"));
  EXPECT_EQ(info["area_id"], "86");
  EXPECT_EQ(info["acceleration_mode"], 2);
  EXPECT_EQ(info["rule_groups"], nlohmann::json::parse("[1,2]"));

  ASSERT_TRUE(s->speedInfo);
  EXPECT_EQ(s->speedInfo->flow_id, tq::Number(4242)) << "the answer replaces speedInfo";
  ASSERT_TRUE(seen);
  EXPECT_TRUE(hadConnection);
  ASSERT_TRUE(seen->tssession);
  EXPECT_EQ(*seen->tssession, *s);
  ASSERT_TRUE(seen->tunnelOptions);
  EXPECT_EQ(seen->tunnelOptions->MTU, 1300);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], *seen);
  EXPECT_EQ(daemon->lastOptions(), tq::toDictionary(*seen)) << "the daemon gets the dictionary";
  EXPECT_EQ(launches, 1);

  // The end report goes out 3.0 s after subscription, with the run's flow id.
  auto stop = controller->stopSession(s);
  main.pump();
  clock.advance(std::chrono::seconds(10));
  main.pump();
  EXPECT_FALSE(last("speed/end")) << "not before a subscription";
  bool ended = false;
  auto ds = stop.subscribe({nullptr, [&](const TQError&) { ended = true; }, [&] { ended = true; }});
  clock.advance(std::chrono::milliseconds(2999));
  main.pump();
  EXPECT_FALSE(last("speed/end"));
  clock.advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return ended; }));
  auto end = last("speed/end");
  ASSERT_TRUE(end && end->info);
  EXPECT_EQ((*end->info)["flow_id"], 4242);
  EXPECT_EQ((*end->info)["mac"], "02:00:00:00:00:02");
  EXPECT_EQ((*end->info)["uid"], 501);
  EXPECT_FALSE(end->info->contains("up_traffic"));
  EXPECT_FALSE(end->info->contains("down_traffic"));
}

// The launch (an elevation dialog, the daemon's socket) runs off the main queue: the main queue
// keeps running while it blocks, shows "connecting" first, and then the launch's statuses, the
// value and the completion in that order.
TEST_F(TsController, SlowLaunchLeavesTheMainQueueRunning) {
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, released = false;
  platform::netext::TunnelLaunchSettings launch;
  launch.launcher = [&](const std::string&, const std::vector<std::string>&) {
    std::unique_lock lock(mu);
    entered = true;
    cv.notify_all();
    // As long as a user takes over the password dialog; bounded so a failure cannot hang.
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    ++launches;
    return daemon->start() ? std::nullopt
                           : std::optional<ControlError>(ControlError{"test", 1, "listen"});
  };
  controller->setLaunchSettings(launch);
  controller->loadVPNManagerPreferences();
  main.pump();
  std::vector<std::string> events;
  auto statusObservation = platform::notifications::NotificationCenter::defaultCenter().observe(
      platform::netext::NEVPNStatusDidChangeNotification,
      [&](const platform::notifications::Notification&) {
        events.push_back("status " + std::to_string(static_cast<int>(controller->status())));
      });
  bool done = false;
  auto d = controller->startSession(session(), std::nullopt)
               .subscribe({[&](const GVLaunchOptions&) { events.push_back("value"); },
                           [&](const TQError& e) {
                             events.push_back("error " + e.description);
                             done = true;
                           },
                           [&] {
                             events.push_back("completed");
                             done = true;
                           }});
  clock.advance(std::chrono::seconds(1));
  {
    // The launcher is blocked, yet the main queue runs its tasks.
    bool blocked = main.queue().runUntil([&] {
      std::lock_guard lock(mu);
      return entered;
    });
    ASSERT_TRUE(blocked);
    bool ran = false;
    platform::dispatch::postToMain([&] { ran = true; });
    ASSERT_TRUE(main.queue().runUntil([&] { return ran; }));
    EXPECT_EQ(events, std::vector<std::string>{"status 2"});
    EXPECT_FALSE(done);
  }
  {
    std::lock_guard lock(mu);
    released = true;
  }
  cv.notify_all();
  // The daemon's later statuses (3) may come before or after the outcome; the value and the
  // completion come together, after "connecting".
  ASSERT_TRUE(
      main.queue().runUntil([&] { return done && controller->status() == VpnStatus::Connected; }));
  EXPECT_EQ(events.front(), "status 2");
  auto value = std::find(events.begin(), events.end(), "value");
  ASSERT_NE(value, events.end()) << ::testing::PrintToString(events);
  ASSERT_NE(value + 1, events.end());
  EXPECT_EQ(*(value + 1), "completed");
  EXPECT_EQ(launches, 1);
}

TEST_F(TsController, WithoutSessionStartAndStopFail) {
  bool failed = false;
  auto d = controller->start().subscribe(
      {nullptr, [&](const TQError& e) { failed = e.domain == TQAPILocalErrorDomain; }, nullptr});
  clock.advance(std::chrono::seconds(2));
  main.pump();
  EXPECT_TRUE(failed);
  EXPECT_EQ(launches, 0);
  EXPECT_TRUE(account.requests().empty());
}

}  // namespace
