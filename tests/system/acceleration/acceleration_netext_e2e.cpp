// Tunnel-mode acceleration end to end: the controller asks the line-service stand-in for the rule
// list and starts the real galvent-tunnel, which brings its TUN device up and probes the relay
// stand-in's entrance; stopping takes everything down again, and sendStopCMD also signs out.
//
// The test process itself moves into a private namespace ("app") before any service thread
// exists, so the line-service stand-in, the daemon and every thread of the client share one
// loopback; the relay lives in a second namespace behind a veth pair (TEST-NET addresses only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "SessionTestSupport.h"
#include "gelmora/Core/TsVPNController.h"
#include "systest/Systest.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::netext::ControlError;
using platform::netext::TunnelProviderManager;

namespace {

constexpr const char* kEntrance = "198.51.100.50";
constexpr int kEntrancePort = 40001;
const TsVPNController::Resolvers kResolvers{"192.0.2.53", "198.51.100.53"};

// Namespaces, the relay and the test's place in "app", shared by every test of the suite: the
// client's long-lived threads (HTTP transport, queues) stay in the namespace they were born in.
struct World {
  std::string skip;
  std::string failure;  // the scene could not be built
  std::unique_ptr<systest::Netns> app, relayNs;
  std::unique_ptr<systest::Netns::Enter> inside;
  std::unique_ptr<systest::TempDir> dir;
  systest::Process relay;
  std::string recordPath;
};
World& world() {
  static World w;
  return w;
}

class NetextE2E : public SessionFixture {
 public:
  static void SetUpTestSuite() {
    World& w = world();
    w.skip = systest::skipReason();
    if (!w.skip.empty()) return;
    w.app = std::make_unique<systest::Netns>(systest::uniqueName("accn-app"));
    w.relayNs = std::make_unique<systest::Netns>(systest::uniqueName("accn-rly"));
    w.dir = std::make_unique<systest::TempDir>("accel-netext");
    if (!w.app->valid() || !w.relayNs->valid() ||
        !systest::veth(*w.app, "acn0", "198.51.100.1/24", *w.relayNs, "acn1",
                       std::string(kEntrance) + "/24")) {
      w.failure = "namespaces or veth could not be made";
      return;
    }
    w.recordPath = (w.dir->path() / "relay.jsonl").string();
    systest::SpawnOptions o;
    o.netns = w.relayNs.get();
    w.relay = systest::Process::spawn(
        {STANDIN_RELAY_PATH, "--listen",
         std::string(kEntrance) + ":" + std::to_string(kEntrancePort), "--record", w.recordPath},
        o);
    if (!systest::waitFor([&] { return w.relay.log().find("serving") != std::string::npos; },
                          10s)) {
      w.failure = "relay stand-in did not come up: " + w.relay.log();
      return;
    }
    w.inside = std::make_unique<systest::Netns::Enter>(*w.app);
    if (!w.inside->entered()) w.failure = "could not enter the app namespace";
  }
  static void TearDownTestSuite() {
    World& w = world();
    w.inside.reset();
    w.relay = systest::Process();
    w.relayNs.reset();
    w.app.reset();
    w.dir.reset();
  }

  void SetUp() override {
    if (!world().skip.empty()) GTEST_SKIP() << world().skip;
    ASSERT_TRUE(world().failure.empty()) << world().failure;
    SessionFixture::SetUp();
    sessionUp = true;
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
                            {"destination_ip_domain", {"203.0.113.10"}}}}}});
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
      o.netns = world().app.get();
      o.logFile = (tmp.path() / "daemon.log").string();
      std::lock_guard lock(daemonMutex);
      ++launches;
      daemon = systest::Process::spawn(argv, o);
      if (daemon.pid() <= 0) return ControlError{"test", 1, "daemon not started"};
      return std::nullopt;
    };
    controller->vpn()->setLaunchSettings(launch);
  }
  void TearDown() override {
    if (!sessionUp) return;
    controller.reset();
    {
      std::lock_guard lock(daemonMutex);
      daemon = systest::Process();
    }
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    SessionFixture::TearDown();
  }

  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return main.queue().runUntil(done, timeout);
  }

  // Signs in, starts, and waits for the tunnel to report itself connected.
  void startConnected() {
    signIn();
    ASSERT_TRUE(user->session());
    controller->loadVPNManagerPreferences();
    main.pump();
    auto out = std::make_shared<Outcome<bool>>();
    auto d = controller->start().subscribe(
        {nullptr, [out](const platform::reactive::Error& e) { out->error = e; },
         [out] { out->completed = true; }});
    ASSERT_TRUE(pumpUntil([&] { return out->done(); }, 30s)) << daemonLog();
    ASSERT_TRUE(out->completed) << out->error->description << "\n" << daemonLog();
    ASSERT_TRUE(pumpUntil([&] { return controller->status() == 3; }, 15s)) << daemonLog();
    EXPECT_EQ(launches, 1);
  }

  // What to show when something fails: the daemon's output, its error file, the service calls.
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

  static void sendDatagram(const char* ip, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &to.sin_addr);
    ::sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  }

  // Frames of `type` the relay received from the client's side.
  static size_t relayFrames(unsigned type) {
    std::ifstream in(world().recordPath);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
      auto j = nlohmann::json::parse(line, nullptr, false);
      if (j.is_object() && j.value("dir", "") == "in" && j.value("type", 0u) == type) ++n;
    }
    return n;
  }

  // The daemon ended by itself and left no device, routing rule or socket behind.
  void expectNothingLeft() {
    std::optional<int> code;
    {
      std::lock_guard lock(daemonMutex);
      code = daemon.wait(15s);
    }
    ASSERT_TRUE(code) << "galvent-tunnel still runs\n" << daemonLog();
    EXPECT_EQ(*code, 0) << daemonLog();
    EXPECT_TRUE(pumpUntil([&] { return controller->status() == 1; }, 10s));
    const auto& app = *world().app;
    EXPECT_EQ(app.sh("ip -o link show").output.find("gvtun"), std::string::npos);
    EXPECT_EQ(app.sh("ip rule show").output.find("lookup 5160"), std::string::npos);
    EXPECT_EQ(app.sh("ip route show table 5160").output, "");
    EXPECT_FALSE(
        fs::exists(runDir / (std::string(TsVPNController::kProviderIdentifier) + ".sock")));
  }

  fs::path runDir;
  bool sessionUp = false;
  std::unique_ptr<TsVPNController> controller;
  std::mutex daemonMutex;
  systest::Process daemon;
  int launches = 0;
};

TEST_F(NetextE2E, StartBringsTheTunnelUpAndStopTakesItAllDown) {
  startConnected();
  // Up for real: its device in our namespace, the entrance probed through the veth, the rule
  // list's flow id kept in the saved session.
  EXPECT_NE(world().app->sh("ip -o link show").output.find("gvtun"), std::string::npos);
  EXPECT_TRUE(systest::waitFor([] { return relayFrames(300) > 0; }, 10s)) << daemonLog();
  // A datagram to the rule's destination leaves through the tunnel as a type-400 frame.
  EXPECT_TRUE(systest::waitFor(
      [] {
        sendDatagram("203.0.113.10", 9999);
        return relayFrames(400) > 0;
      },
      10s))
      << daemonLog();
  ASSERT_TRUE(user->session()->speedInfo);
  EXPECT_EQ(user->session()->speedInfo->flow_id, tq::Number(4242));
  EXPECT_EQ(seen(account, "/q5client/rule/list").size(), 1u);

  controller->stop();
  expectNothingLeft();
  // The end report follows the stop after the engine's delay.
  EXPECT_TRUE(waitFor(account, "/q5client/speed/end", 1));
  EXPECT_TRUE(user->session()) << "a plain stop keeps the user signed in";
}

TEST_F(NetextE2E, SendStopCMDStopsThenSignsOut) {
  startConnected();
  int calls = 0;
  controller->sendStopCMD([&] { ++calls; });
  expectNothingLeft();
  ASSERT_TRUE(pumpUntil([&] { return calls > 0; }, 15s));
  settle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen(account, "/q5client/user/logout").size(), 1u);
  EXPECT_FALSE(user->session());
}

}  // namespace
