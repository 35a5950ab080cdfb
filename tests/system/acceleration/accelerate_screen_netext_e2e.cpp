// The acceleration screen over the real tunnel-mode controller, end to end under Xvfb: the real
// galvent-tunnel in a private namespace ("app") with the relay stand-in behind a veth pair, the
// account (line service), geo and web stand-ins, a signed-in user with a chosen line. A click
// starts, the accelerated look is saved and probed, a datagram to the rule's destination leaves
// through the tunnel, a second click stops and the daemon ends. A start made elsewhere (as the
// tray menu does) shows busy while the tunnel connects, accelerated once it is up, idle after a
// stop.
//
// main() builds the namespaces and moves the process into "app" before QApplication (or anything
// else) starts a thread, so the stand-ins, the daemon and every thread of the client share one
// loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "JolvexAPI/JolvexAPI.h"
#include "SessionTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Core/TsVPNController.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "gelmora/Services/TsfetchIPService.h"
#include "platform/netext/TunnelProviderManager.h"
#include "platform/netext/VpnStatus.h"
#include "standin/AccountServer.h"
#include "standin/GeoStandin.h"
#include "standin/WebStandin.h"
#include "systest/Systest.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Accelerate/TsAccelerateViewController.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::netext::ControlError;
using platform::netext::TunnelProviderManager;
using V = TsAccelerateView;

namespace {

constexpr const char* kEntrance = "198.51.100.50";
constexpr int kEntrancePort = 40001;
constexpr const char* kGameIP = "203.0.113.10";
const TsVPNController::Resolvers kResolvers{"192.0.2.53", "198.51.100.53"};

// Namespaces and the relay, built in main() before any thread exists.
struct World {
  std::string skip;     // not root, no namespaces: the suite is skipped
  std::string failure;  // the world could not be built: the suite fails
  std::unique_ptr<systest::Netns> app, relayNs;
  std::unique_ptr<systest::Netns::Enter> inside;
  std::unique_ptr<systest::TempDir> dir;
  systest::Process relay;
  std::string recordPath;

  void build() {
    skip = systest::skipReason();
    if (skip.empty()) failure = make();
  }
  // Empty when the world stands, else why not.
  std::string make() {
    app = std::make_unique<systest::Netns>(systest::uniqueName("asn-app"));
    relayNs = std::make_unique<systest::Netns>(systest::uniqueName("asn-rly"));
    dir = std::make_unique<systest::TempDir>("accel-screen-netext");
    if (!app->valid() || !relayNs->valid() ||
        !systest::veth(*app, "asn0", "198.51.100.1/24", *relayNs, "asn1",
                       std::string(kEntrance) + "/24")) {
      return "namespaces or veth could not be made";
    }
    recordPath = (dir->path() / "relay.jsonl").string();
    systest::SpawnOptions o;
    o.netns = relayNs.get();
    relay = systest::Process::spawn(
        {STANDIN_RELAY_PATH, "--listen",
         std::string(kEntrance) + ":" + std::to_string(kEntrancePort), "--record", recordPath},
        o);
    if (!systest::waitFor([&] { return relay.log().find("serving") != std::string::npos; }, 10s)) {
      return "relay stand-in did not come up: " + relay.log();
    }
    inside = std::make_unique<systest::Netns::Enter>(*app);
    if (!inside->entered()) return "could not enter the app namespace";
    return "";
  }
  void tearDown() {
    inside.reset();
    relay = systest::Process();
    relayNs.reset();
    app.reset();
    dir.reset();
  }
};
World gWorld;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(2);
  }
  return true;
}

QImage save(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  const QString folder = dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString(dir);
  QDir().mkpath(folder);
  const QImage shot = w->grab().toImage();
  EXPECT_TRUE(shot.save(folder + "/" + name));
  return shot;
}

// Frames of `type` the relay received from the client's side.
size_t relayFrames(unsigned type) {
  std::ifstream in(gWorld.recordPath);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.value("dir", "") == "in" && j.value("type", 0u) == type) ++n;
  }
  return n;
}

void sendDatagram(const char* ip, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &to.sin_addr);
  ::sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
}

std::string trail(const std::vector<std::pair<long long, int64_t>>& seen) {
  std::string text;
  for (const auto& [status, look] : seen) {
    text += std::to_string(status) + "/" + std::to_string(look) + " ";
  }
  return text;
}

class RecordingWebWindow : public gelmora::ui::WebWindowHandle {
 public:
  void close() override {}
  QWidget* window() const override { return nullptr; }
};

class AccelerateScreenNetextE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gWorld.skip.empty()) GTEST_SKIP() << gWorld.skip;
    ASSERT_TRUE(gWorld.failure.empty()) << gWorld.failure;
    TQAPIConfig::sharedInstance().reset();
    platform::keychain::installBackend(
        std::make_shared<platform::keychain::FileBackend>(tmp.path() / "keychain.json"));
    ASSERT_TRUE(account.start());
    ASSERT_TRUE(feedback.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(feedback.host());
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
    feedback.scriptPayloads("/api/v1/feedback/list",
                            {{{"login", ""}, {"end", "https://feedback.example/end"}}});
    // Known to the service and online, so the tunnel's own heartbeat keeps it up.
    standin::account::Account alice;
    alice.uid = 10001;
    alice.username = "alice";
    alice.password = "pw-123456";
    alice.loginToken = "tok-10001";
    alice.online = true;
    account.addAccount(alice);
    account.setRuleList({{"flow_id", 4242},
                         {"entrance", {{{"ip", kEntrance}, {"ports", {kEntrancePort}}}}},
                         {"exists", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
                         {"rules",
                          {{{"id", 11},
                            {"traffic_level", 1},
                            {"group_name", "game"},
                            {"exits", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
                            {"process", {"*"}},
                            {"port", {"*"}},
                            {"protocol", {"udp"}},
                            {"destination_ip_domain", {kGameIP}}}}}});
    account.scriptPayloads("/q5client/package/privilege",
                           {{{"flow_size", "100G"},
                             {"mobile_limit", "2"},
                             {"desktop_limit", "1"},
                             {"images", {{{"image", "/sample.png"}, {"name", "Fast"}}}}}});
    ASSERT_TRUE(geo.start());
    geo.setServiceData({{"country", "Japan"}, {"city", "Tokyo"}, {"ip", "203.0.113.9"}});
    standin::WebStandin::addFile(web, "/sample.png", standin::WebStandin::samplePng(), "image/png");
    ASSERT_TRUE(web.start());

    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    user = std::make_unique<TsUserController>(*defaults);
    auto line = std::make_shared<HLNetLineNodeEntity>();
    line->areaId = tq::Number(12);
    line->nodeName = "Japan-Tokyo";
    defaults->setSelectedNetNode(line);
    defaults->setDefaultsNetNode(line);
    gelmora::ui::UiTiming::setScale(0.01);

    runDir = tmp.path() / "run";
    fs::create_directories(runDir);
    fs::create_directories(tmp.path() / "container");
    ::setenv("GALVENT_RUN_DIR", runDir.c_str(), 1);
    TunnelProviderManager::setPreferencesPath((runDir / "tunnels.json").string());
    controller = std::make_unique<TsVPNController>(*user, nullptr, kResolvers);
    platform::netext::TunnelLaunchSettings launch;
    launch.program = GALVENT_TUNNEL_PATH;
    launch.containerRoot = (tmp.path() / "container").string();
    launch.resources = tmp.path().string();
    // Started as the real launcher would as root, but as our child inside "app" and without
    // touching the host's resolver configuration.
    launch.launcher = [this](const std::string& program,
                             const std::vector<std::string>& args) -> std::optional<ControlError> {
      std::vector<std::string> argv{program};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.insert(argv.end(), {"--dns-config", "none"});
      systest::SpawnOptions o;
      o.netns = gWorld.app.get();
      o.logFile = (tmp.path() / "daemon.log").string();
      std::lock_guard lock(daemonMutex);
      ++launches;
      daemon = systest::Process::spawn(argv, o);
      if (daemon.pid() <= 0) return ControlError{"test", 1, "daemon not started"};
      return std::nullopt;
    };
    controller->vpn()->setLaunchSettings(launch);
    setUp = true;
  }

  void TearDown() override {
    if (!setUp) return;
    platform::notifications::NotificationCenter::defaultCenter().removeObserver(this);
    screen.reset();
    controller.reset();
    {
      std::lock_guard lock(daemonMutex);
      daemon = systest::Process();
    }
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    user.reset();
    TQAPIConfig::sharedInstance().reset();
    account.stop();
    feedback.stop();
    geo.stop();
    web.stop();
    gelmora::ui::UiTiming::setScale(1);
  }

  void signIn() {
    account.scriptPayloads("/q5client/user/login", {accountPayload({{"rest_traffic", 1536}})});
    auto out = std::make_shared<Outcome<JVX_USER_INFO>>();
    auto d = user->signinWithPhone("alice", "", "pw-123456", false)
                 .subscribe({nullptr, [out](const platform::reactive::Error& e) { out->error = e; },
                             [out] { out->completed = true; }});
    ASSERT_TRUE(waitFor([&] { return out->done(); }, 15s));
    ASSERT_TRUE(out->completed) << (out->error ? out->error->description : "");
    // Signed in online, the feedback list names the end-of-acceleration page.
    ASSERT_TRUE(waitFor([&] { return defaults->endBoostFeedbackUrl().value_or("") != ""; }, 15s));
  }

  std::string daemonLog() {
    auto read = [](const fs::path& p) {
      std::ifstream in(p);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string text = "galvent-tunnel: " + read(tmp.path() / "daemon.log");
    text += "\nerror file: " +
            read(tmp.path() / "container" / TsVPNController::kProviderIdentifier / "error.txt");
    text += "\nservice calls:";
    for (auto& r : account.requests()) text += " " + r.path;
    return text;
  }

  // The daemon of the last start ended by itself and its device is gone.
  void expectDaemonEnded() {
    std::optional<int> code;
    {
      std::lock_guard lock(daemonMutex);
      code = daemon.wait(15s);
    }
    ASSERT_TRUE(code) << "galvent-tunnel still runs\n" << daemonLog();
    EXPECT_EQ(*code, 0) << daemonLog();
    EXPECT_TRUE(waitFor([&] { return controller->status() == 1; }, 10s));
    EXPECT_EQ(gWorld.app->sh("ip -o link show").output.find("gvtun"), std::string::npos);
  }

  TempDir tmp;
  standin::account::AccountServer account;
  standin::account::AccountServer feedback;
  standin::GeoStandin geo;
  standin::HttpStandin web;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  std::unique_ptr<TsVPNController> controller;
  std::unique_ptr<TsAccelerateViewController> screen;
  fs::path runDir;
  std::mutex daemonMutex;
  systest::Process daemon;
  int launches = 0;
  bool setUp = false;
};

TEST_F(AccelerateScreenNetextE2E, ClickStartsTheTunnelAndOutsideStartsShowBusyThenAccelerated) {
  signIn();
  controller->loadVPNManagerPreferences();
  gelmora::ui::ScreenRegistry screens;
  std::vector<std::string> pages;
  screens.webWindow.set([&](const gelmora::ui::WebWindowRequest& r) {
    pages.push_back(r.url);
    return std::make_unique<RecordingWebWindow>();
  });
  TsAccelerateDependencies d;
  d.vpn = controller.get();
  d.user = user.get();
  d.defaults = defaults.get();
  d.analytics = [](std::string_view) {};
  const std::string geoUrl = geo.serviceUrl();
  d.geo = [geoUrl] { return TsfetchIPService::tarvoService(geoUrl); };
  d.screens = &screens;
  d.strip.webDomain = [this] { return web.hostPort(); };
  d.strip.user = user.get();
  screen = std::make_unique<TsAccelerateViewController>(d);
  screen->resize(850, 600);
  screen->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(screen.get()));
  V* view = screen->specView();
  ASSERT_EQ(view->state(), V::Idle);

  // Each status the controller announces, with the look the screen took for it (the screen
  // observes first, so its look is already set).
  std::vector<std::pair<long long, int64_t>> seen;
  auto& centre = platform::notifications::NotificationCenter::defaultCenter();
  centre.addObserver(this, platform::netext::NEVPNStatusDidChangeNotification,
                     [&](const platform::notifications::Notification&) {
                       seen.emplace_back(controller->status(), view->state());
                     });

  // A click: starting while the tunnel connects, accelerated once it is up.
  view->goButton()->click();
  EXPECT_EQ(view->state(), V::Starting);
  ASSERT_TRUE(waitFor([&] { return view->state() == V::Accelerated && controller->status() == 3; }))
      << "state " << view->state() << " status " << controller->status() << "\n"
      << daemonLog();
  for (const auto& [status, look] : seen) {
    if (status == 2) {
      EXPECT_EQ(look, V::Starting) << "the screen's own start keeps its look; seen " << trail(seen);
    }
  }
  ASSERT_TRUE(waitFor([&] {
    return view->finishView()->locationTF()->text() == "IP: Japan-Tokyo" &&
           !view->finishView()->isHidden();
  }));
  QTest::qWait(50);
  const QImage accelerated = save(screen.get(), "accelerate-netext-accelerated.png");
  int white = 0;
  for (int x = 360; x <= 500; ++x)
    for (int y = 255; y <= 285; ++y) white += accelerated.pixelColor(x, y).lightness() > 200;
  EXPECT_GT(white, 20);
  EXPECT_EQ(view->trafficLabel()->text(), "1536MB");
  EXPECT_NE(gWorld.app->sh("ip -o link show").output.find("gvtun"), std::string::npos);
  // A datagram to the rule's destination leaves through the tunnel as a type-400 frame.
  EXPECT_TRUE(waitFor(
      [] {
        sendDatagram(kGameIP, 9999);
        return relayFrames(400) > 0;
      },
      10s))
      << daemonLog();

  // Second click: idle at once, the end page asked once, the daemon ends.
  view->goButton()->click();
  EXPECT_EQ(view->state(), V::Idle);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].rfind("https://feedback.example/end", 0), 0u);
  expectDaemonEnded();
  EXPECT_EQ(view->state(), V::Idle);

  // A start from elsewhere: busy while connecting, accelerated when up, idle after a stop.
  seen.clear();
  auto out = std::make_shared<Outcome<bool>>();
  auto started = controller->start().subscribe(
      {nullptr, [out](const platform::reactive::Error& e) { out->error = e; },
       [out] { out->completed = true; }});
  ASSERT_TRUE(waitFor([&] { return out->done(); }, 30s)) << daemonLog();
  ASSERT_TRUE(out->completed) << out->error->description << "\n" << daemonLog();
  ASSERT_TRUE(waitFor([&] { return controller->status() == 3; }, 15s)) << daemonLog();
  EXPECT_EQ(view->state(), V::Accelerated);
  bool busy = false;
  for (const auto& [status, look] : seen) {
    if (status == 2) {
      busy = true;
      EXPECT_EQ(look, V::Busy);
    }
    if (status == 3) {
      EXPECT_EQ(look, V::Accelerated);
    }
  }
  EXPECT_TRUE(busy) << "no connecting status announced";
  controller->stop();
  expectDaemonEnded();
  EXPECT_EQ(view->state(), V::Idle);
  EXPECT_EQ(launches, 2);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().second, V::Idle);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Into the app namespace before any thread exists.
  gWorld.build();
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  gelmora::ui::L10n::installTable("en");
  const int result = RUN_ALL_TESTS();
  queue->close();
  gWorld.tearDown();
  return result;
}
