// The app-side tunnel controllers driving the real galvent-tunnel. The app (this process's main
// thread), the daemon it launches and the service stand-ins share one private namespace, the
// stand-ins on its loopback; the entrance relay answers from a peer namespace behind a veth.
// Checks: the statuses a start and a stop publish, the traffic query, stop without subscribers,
// a new controller finding the running daemon, and the game variant's rule-file cache.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Galvent/Models/GVTrafficInfo.h"
#include "Galvent/Tunnel/Provider/GVProviderTrafficInfoCommand.h"
#include "Galvent/VPN/GVQ5VPNController.h"
#include "Galvent/VPN/GVTsVPNController.h"
#include "JolvexAPI/JolvexAPI.h"
#include "PexaraAPI/PexaraAPI.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/notifications/NotificationCenter.h"
#include "standin/AccountServer.h"
#include "standin/GameStandin.h"
#include "systest/Systest.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::netext::ControlError;
using platform::netext::TunnelConnection;
using platform::netext::TunnelProviderManager;
using platform::netext::VpnStatus;

namespace {

constexpr char kTsProvider[] = "com.example.ts.tunnel";
constexpr char kQ5Provider[] = "com.example.q5.tunnel";
constexpr char kRelay[] = "198.51.100.50";
constexpr int kRelayPort = 40001;
constexpr char kGameServer[] = "203.0.113.10";

const char* kRuleFileJson = R"({
  "blacklist": [],
  "DNS": [],
  "vni-array": [
    {"id": 1, "upstream": 100, "downstream": 200, "offset": 0, "flow-level": 1,
     "dest": [{"process": "game", "host": "203.0.113.10", "port": "27015", "protocol": "UDP"}]}
  ]})";

// What the whole suite shares. The main thread stays inside the app namespace from set-up to
// tear-down, so every thread made meanwhile (transport, stand-ins) and the daemon live there.
struct World {
  systest::Netns app{systest::uniqueName("tcapp")};
  systest::Netns peer{systest::uniqueName("tcpeer")};
  systest::TempDir files{"tcrelay"};
  systest::Process relay;
  std::unique_ptr<systest::Netns::Enter> inside;
  standin::account::AccountServer account;
  standin::GameStandin game;
  std::string failure;

  World() {
    if (!app.valid() || !peer.valid()) {
      failure = "cannot make the namespaces";
      return;
    }
    if (!systest::veth(app, "tca0", "198.51.100.1/24", peer, "tcp0", std::string(kRelay) + "/24")) {
      failure = "cannot link the namespaces";
      return;
    }
    systest::SpawnOptions o;
    o.netns = &peer;
    relay = systest::Process::spawn(
        {STANDIN_RELAY_PATH, "--listen", std::string(kRelay) + ":" + std::to_string(kRelayPort),
         "--record", (files.path() / "relay.jsonl").string()},
        o);
    if (!systest::waitFor([&] { return relay.log().find("serving") != std::string::npos; }, 10s)) {
      failure = "the relay did not start: " + relay.log();
      return;
    }
    inside = std::make_unique<systest::Netns::Enter>(app);
    if (!inside->entered()) {
      failure = "cannot enter the app namespace";
      return;
    }
    if (!account.start() || !game.start()) failure = "the stand-ins did not start";
    // The signed-in user of the line variant, whose heartbeats the daemon sends while it runs.
    standin::account::Account user;
    user.uid = 501;
    user.username = "player";
    user.online = true;
    account.addAccount(user);
  }
  ~World() {
    account.stop();
    game.stop();
    // Out again before the namespaces go: their clean-up kills what is still inside.
    inside.reset();
  }
};
World* world = nullptr;

// The tunnel daemons in the app namespace (this process and the shell that lists them are there
// too).
std::vector<pid_t> daemonPids() {
  std::vector<pid_t> pids;
  std::istringstream in(systest::sh("ip netns pids " + world->app.name()).output);
  for (pid_t pid; in >> pid;) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "galvent-tunnel") pids.push_back(pid);
  }
  return pids;
}

class TunnelControllers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (systest::skipReason().empty()) world = new World;
  }
  static void TearDownTestSuite() {
    delete world;
    world = nullptr;
  }

  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ASSERT_TRUE(world);
    ASSERT_TRUE(world->failure.empty()) << world->failure;
    dir = std::make_unique<systest::TempDir>("tc");
    ::setenv("GALVENT_RUN_DIR", dir->path().c_str(), 1);
    TunnelProviderManager::setPreferencesPath((dir->path() / "tunnels.json").string());
    set_JVXDomain(world->account.host());
    set_PXAOrgDomain(world->game.address());
    observation = std::make_unique<platform::notifications::Observation>(
        platform::notifications::NotificationCenter::defaultCenter().observe(
            platform::netext::NEVPNStatusDidChangeNotification,
            [this](const platform::notifications::Notification& n) {
              auto c = std::any_cast<std::shared_ptr<TunnelConnection>>(n.object);
              statuses.push_back(c->status());
            }));
  }

  void TearDown() override {
    observation.reset();
    // Whatever happened, no daemon outlives its test.
    if (world)
      for (pid_t pid : daemonPids()) ::kill(pid, SIGKILL);
    systest::waitFor([] { return !world || daemonPids().empty(); }, 5s);
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    set_JVXDomain(std::nullopt);
    set_PXAOrgDomain(std::nullopt);
  }

  // The real launch path (directly, as root), with the resolver left alone: the daemon shares
  // this machine's /etc.
  platform::netext::TunnelLaunchSettings launchSettings() {
    platform::netext::TunnelLaunchSettings s;
    s.program = GALVENT_TUNNEL_PATH;
    s.containerRoot = (dir->path() / "container").string();
    s.resources = (dir->path() / "resources").string();
    fs::create_directories(s.containerRoot);
    fs::create_directories(s.resources);
    s.launcher = [this](const std::string& program, std::vector<std::string> args) {
      ++launches;
      args.insert(args.end(), {"--dns-config", "none"});
      return platform::netext::authorizedTunnelLauncher(platform::auth::Options{})(program, args);
    };
    return s;
  }

  template <class Controller>
  std::shared_ptr<Controller> controller(const char* provider) {
    auto c = std::make_shared<Controller>(provider, "relay.example", "Galvent");
    c->setLaunchSettings(launchSettings());
    c->loadVPNManagerPreferences();
    main.pump();
    return c;
  }

  std::shared_ptr<GVTsSession> tsSession() {
    auto s = std::make_shared<GVTsSession>();
    JVX_USER_INFO info;
    info.uid = 501;
    s->userInfo = info;
    s->baseDomain = world->account.host();
    s->mac = "02:00:00:00:00:02";
    s->entrances =
        std::vector<nlohmann::json>{{{"ip", kRelay}, {"ports", nlohmann::json{kRelayPort}}}};
    JVX_EXIT exit;
    exit.addr = "3-7";
    exit.nat = "10.0.0.7";
    s->exits = std::vector<JVX_EXIT>{exit};
    s->areaId = "86";
    s->accelerationMode = 2;
    s->ruleGroups = std::vector<nlohmann::json>{1};
    return s;
  }

  std::shared_ptr<GVQ5Session> q5Session() {
    auto s = std::make_shared<GVQ5Session>();
    PXA_USER_INFO info;
    info.uid = 10001;
    info.token = "tok-1";
    s->userInfo = info;
    s->baseDomain = world->game.address();
    s->mac = "02:00:00:00:00:01";
    s->clientIP = "198.51.100.1";
    s->appVersion = "1.2.3";
    s->gameId = 77;
    s->entrance = kRelay;
    return s;
  }

  template <class Controller, class Session>
  void startAndWaitConnected(Controller& c, const std::shared_ptr<Session>& session) {
    bool done = false;
    std::optional<TQError> error;
    auto d = c.startSession(session, GVTunnelOptions{})
                 .subscribe({[](const GVLaunchOptions&) {},
                             [&](const TQError& e) {
                               error = e;
                               done = true;
                             },
                             [&] { done = true; }});
    main.pump();
    clock.advance(1s);
    ASSERT_TRUE(main.queue().runUntil([&] { return done; }, 30s));
    ASSERT_FALSE(error) << error->description;
    ASSERT_TRUE(main.queue().runUntil([&] { return c.status() == VpnStatus::Connected; }, 30s))
        << "status " << static_cast<int>(c.status());
  }

  // Waits for the stop to be published and for the daemon to be gone.
  template <class Controller>
  void waitStopped(Controller& c, const char* provider) {
    ASSERT_TRUE(main.queue().runUntil([&] { return c.status() == VpnStatus::Disconnected; }, 30s));
    const fs::path socket = dir->path() / (std::string(provider) + ".sock");
    EXPECT_TRUE(systest::waitFor([&] { return daemonPids().empty() && !fs::exists(socket); }, 10s))
        << "the daemon did not exit";
  }

  std::string readPrefs() {
    std::ifstream in(dir->path() / "tunnels.json", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  int accountRequests(const std::string& path) {
    int n = 0;
    for (const auto& r : world->account.requests())
      if (r.path.find(path) != std::string::npos) ++n;
    return n;
  }

  platform::dispatch::ScopedMainQueue main;
  platform::dispatch::ScopedVirtualClock clock;
  std::unique_ptr<systest::TempDir> dir;
  std::vector<VpnStatus> statuses;
  std::unique_ptr<platform::notifications::Observation> observation;
  int launches = 0;
};

TEST_F(TunnelControllers, LineVariantStartsAnswersTheTrafficQueryAndStopsWithoutSubscribers) {
  const nlohmann::json entrance = {{{"ip", kRelay}, {"ports", nlohmann::json{kRelayPort}}}};
  const nlohmann::json exits = {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}};
  // One white rule: UDP to the game server, carried through the relay.
  world->account.setRuleList({{"flow_id", 4242},
                              {"entrance", entrance},
                              {"exists", exits},
                              {"rules",
                               {{{"id", 1},
                                 {"traffic_id", 1},
                                 {"protocol", {"UDP"}},
                                 {"port", {"27015"}},
                                 {"destination_ip_domain", {kGameServer}},
                                 {"entrance", entrance},
                                 {"exits", exits}}}}});
  auto c = controller<GVTsVPNController>(kTsProvider);
  statuses.clear();
  auto session = tsSession();
  ASSERT_NO_FATAL_FAILURE(startAndWaitConnected(*c, session));
  EXPECT_EQ(launches, 1);
  EXPECT_EQ(statuses, (std::vector<VpnStatus>{VpnStatus::Connecting, VpnStatus::Connected}));
  ASSERT_TRUE(session->speedInfo);
  EXPECT_EQ(session->speedInfo->flow_id, tq::Number(4242));

  // The figures come from the flow group that the game's first packets open; until then the
  // query is answered with nothing.
  int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(udp, 0);
  sockaddr_in game{};
  game.sin_family = AF_INET;
  game.sin_port = htons(27015);
  ::inet_pton(AF_INET, kGameServer, &game.sin_addr);
  std::string answer;
  std::optional<GVTrafficInfo> info;
  TQError why;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!(info && info->txBytes.value_or(0) > 0) && std::chrono::steady_clock::now() < deadline) {
    (void)::sendto(udp, "ping", 4, 0, reinterpret_cast<sockaddr*>(&game), sizeof game);
    std::optional<std::string> reply;
    c->manager()->connection()->sendProviderMessage(GVProviderTrafficInfoCommand,
                                                    [&](std::string data) { reply = data; });
    ASSERT_TRUE(main.queue().runUntil([&] { return reply.has_value(); }, 10s));
    answer = *reply;
    if (!answer.empty()) {
      info = tq::fromJSON<GVTrafficInfo>(answer, &why);
      ASSERT_TRUE(info) << "answer \"" << answer << "\": " << why.description;
    }
  }
  ASSERT_TRUE(info) << "no figures";
  EXPECT_TRUE(info->duration.has_value());
  EXPECT_GT(info->txBytes.value_or(0), 0u) << "the game's packets are counted: " << answer;
  // The daemon probes the entrance it was given.
  EXPECT_TRUE(systest::waitFor(
      [&] {
        std::ifstream in(world->files.path() / "relay.jsonl");
        for (std::string line; std::getline(in, line);) {
          auto r = nlohmann::json::parse(line, nullptr, false);
          if (r.is_object() && r.value("dir", "") == "in" &&
              r.value("peer", "").rfind("198.51.100.1:", 0) == 0)
            return true;
        }
        return false;
      },
      10s))
      << "the relay heard nothing from the daemon";
  ::close(udp);

  // The stop goes out when asked; the end report would wait for a subscriber that never comes.
  statuses.clear();
  (void)c->stopSession(session);
  ASSERT_NO_FATAL_FAILURE(waitStopped(*c, kTsProvider));
  EXPECT_EQ(statuses, (std::vector<VpnStatus>{VpnStatus::Disconnecting, VpnStatus::Disconnected}));
  EXPECT_FALSE(c->manager()->connection()->lastError())
      << c->manager()->connection()->lastError()->description;
  clock.advance(5s);
  main.pump();
  EXPECT_EQ(accountRequests("speed/end"), 0) << "no end report without a subscriber";
}

TEST_F(TunnelControllers, NewControllerFindsTheRunningDaemonAndWritesNothing) {
  world->account.setRuleList(
      {{"flow_id", 4343},
       {"entrance", {{{"ip", kRelay}, {"ports", nlohmann::json{kRelayPort}}}}},
       {"exists", nlohmann::json::array()},
       {"rules", nlohmann::json::array()}});
  auto first = controller<GVTsVPNController>(kTsProvider);
  auto session = tsSession();
  ASSERT_NO_FATAL_FAILURE(startAndWaitConnected(*first, session));

  const std::string before = readPrefs();
  ASSERT_FALSE(before.empty());
  struct stat st0;
  ASSERT_EQ(::stat((dir->path() / "tunnels.json").c_str(), &st0), 0);
  statuses.clear();
  // As after a restart of the app: a controller of its own, its own connection to the daemon.
  auto second = std::make_shared<GVTsVPNController>(kTsProvider, "other.example", "Other");
  second->setLaunchSettings(launchSettings());
  second->loadVPNManagerPreferences();
  ASSERT_TRUE(main.queue().runUntil([&] { return !statuses.empty(); }, 10s));
  EXPECT_EQ(second->status(), VpnStatus::Connected);
  EXPECT_EQ(statuses.back(), VpnStatus::Connected);
  struct stat st1;
  ASSERT_EQ(::stat((dir->path() / "tunnels.json").c_str(), &st1), 0);
  EXPECT_EQ(readPrefs(), before);
  EXPECT_EQ(st1.st_ino, st0.st_ino) << "the file was not replaced";
  EXPECT_EQ(launches, 1) << "no second daemon";

  (void)second->stopSession(session);
  ASSERT_NO_FATAL_FAILURE(waitStopped(*second, kTsProvider));
  EXPECT_TRUE(
      main.queue().runUntil([&] { return first->status() == VpnStatus::Disconnected; }, 10s))
      << "the first controller sees the stop too";
}

TEST_F(TunnelControllers, GameVariantCachesTheRuleFileAndReportsTheEnd) {
  auto& game = world->game;
  game.clearSwitches();
  game.putRuleFile("rules-1.dat", kRuleFileJson);
  game.setStartRuleFile("rules-1.dat");
  game.setStartGroups({{1, {{kRelay, {kRelayPort}}}, {{"3-9", "10.0.0.9"}}}});
  auto c = controller<GVQ5VPNController>(kQ5Provider);
  c->setLibraryFolder(dir->path() / "Library");
  auto session = q5Session();
  auto endReports = [&] {
    size_t n = 0;
    for (const auto& r : game.requests()) n += r.path == "/api/end";
    return n;
  };

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("start " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(startAndWaitConnected(*c, session));
    EXPECT_EQ(game.ruleFileRequests("rules-1.dat"), 1) << "downloaded once, then cached";
    ASSERT_TRUE(session->speedInfo && session->speedInfo->vni_array);
    EXPECT_EQ(session->speedInfo->vni_array->size(), 1u);

    const size_t endsBefore = endReports();
    bool ended = false;
    std::optional<TQError> error;
    auto d = c->stopSession(session).subscribe({[](const nlohmann::json&) {},
                                                [&](const TQError& e) {
                                                  error = e;
                                                  ended = true;
                                                },
                                                [&] { ended = true; }});
    ASSERT_NO_FATAL_FAILURE(waitStopped(*c, kQ5Provider));
    clock.advance(3s);
    ASSERT_TRUE(main.queue().runUntil([&] { return ended; }, 10s));
    EXPECT_FALSE(error) << error->description;
    auto end = game.lastRequest("/api/end");
    ASSERT_TRUE(end);
    EXPECT_EQ(end->params.value("type", ""), "1");
    EXPECT_EQ(end->params.value("uid", ""), "10001");
    EXPECT_EQ(endReports(), endsBefore + 1);
  }
  EXPECT_EQ(launches, 2);
}

}  // namespace
