// Game-variant tunnel controller against the game-service stand-in on loopback: the start list,
// the rule-file cache and its download, the merge, and the end report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FakeTunnelDaemon.h"
#include "Galvent/VPN/GVQ5VPNController.h"
#include "PexaraAPI/PexaraAPI.h"
#include "Tovra/REST/CurlTransport.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/GameStandin.h"

namespace fs = std::filesystem;
using platform::netext::ControlError;
using platform::netext::VpnStatus;
using platform::netext::testing::FakeDaemon;

namespace {

const char* kRuleFileJson = R"({
  "blacklist": [{"process": "updater", "host": "198.51.100.9", "port": "443", "protocol": "TCP"}],
  "DNS": [{"domain": ["game.example"], "server": "198.51.100.53", "traffic_id": 1}],
  "vni-array": [
    {"id": 1, "upstream": 100, "downstream": 200, "offset": 3, "flow-level": 2,
     "dest": [{"process": "game", "host": "203.0.113.10", "port": "27015", "protocol": "UDP"}]},
    {"id": 2, "upstream": 10, "downstream": 20, "offset": 0, "flow-level": 1},
    {"upstream": 1}
  ]})";

// The real transport, keeping how each request ended (completions run on the main queue).
class RecordingTransport : public tq::HttpTransport {
 public:
  std::shared_ptr<tq::HttpTask> start(tq::HttpRequest request,
                                      tq::HttpCallbacks callbacks) override {
    auto completion = std::move(callbacks.completion);
    callbacks.completion = [this, completion](const tq::HttpResponse& r, const TQError& e) {
      outcomes.push_back(e ? e : TQError{"HTTP", r.status, "answered", {}});
      if (completion) completion(r, e);
    };
    return real->start(std::move(request), std::move(callbacks));
  }
  std::shared_ptr<tq::HttpTransport> real = tq::CurlTransport::shared();
  std::vector<TQError> outcomes;
};

template <class T>
struct Events {
  std::vector<T> values;
  std::optional<TQError> error;
  bool completed = false;
  bool ended() const { return completed || error.has_value(); }
};

class Q5Controller : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(game.start());
    set_PXAOrgDomain(game.address());
    char templ[] = "/tmp/gv-q5-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    ::setenv("GALVENT_RUN_DIR", dir.c_str(), 1);
    platform::netext::TunnelProviderManager::setPreferencesPath(dir + "/tunnels.json");
    controller =
        std::make_shared<GVQ5VPNController>("com.example.q5.tunnel", "relay.example", "Galvent");
    controller->setLibraryFolder(dir + "/Library");
    md5 = game.putRuleFile("rules-1.dat", kRuleFileJson);
    game.setStartRuleFile("rules-1.dat");
    game.setStartGroups({{2, {{"198.51.100.50", {40001, 40002}}}, {{"3-7", "10.0.0.7"}}},
                         {9, {{"198.51.100.51", {40001}}}, {{"3-8", ""}}},
                         {1, {{"198.51.100.50", {40001}}}, {{"3-9", "10.0.0.9"}}}});
  }
  void TearDown() override {
    controller.reset();
    set_PXAOrgDomain(std::nullopt);
    platform::netext::TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    game.stop();
    fs::remove_all(dir);
  }

  fs::path cachePath(const std::string& name) const {
    return fs::path(dir) / "Library/Rules" / name;
  }

  template <class T>
  Events<T> run(const platform::reactive::Signal<T>& signal) {
    Events<T> e;
    auto d =
        signal.subscribe({[&](const T& v) { e.values.push_back(v); },
                          [&](const TQError& err) { e.error = err; }, [&] { e.completed = true; }});
    EXPECT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
    return e;
  }

  std::shared_ptr<GVQ5Session> session() {
    auto s = std::make_shared<GVQ5Session>();
    PXA_USER_INFO info;
    info.uid = 10001;
    info.token = "tok-1";
    s->userInfo = info;
    s->mac = "02:00:00:00:00:01";
    s->clientIP = "198.51.100.7";
    s->appVersion = "1.2.3";
    s->gameId = 77;
    s->entrance = "198.51.100.50";
    return s;
  }

  platform::dispatch::ScopedMainQueue main;
  standin::GameStandin game;
  std::string dir;
  std::string md5;
  std::shared_ptr<GVQ5VPNController> controller;
};

TEST_F(Q5Controller, MergeKeepsAnswerOrderAndSkipsUnknownGroups) {
  auto file = GVQ5RuleFile::decode(PXACrypto::encryptedStringOfString(kRuleFileJson));
  ASSERT_TRUE(file);
  auto answer = tq::fromJSON<PXA_SPEED_START_NOCACHE_INFO>(R"({
    "fileUrl": "rules-1.dat", "flowId": 5001,
    "config": {"vni-array": [
      {"id": 2, "entrance": [{"ip": "198.51.100.50", "port": [40001]}],
       "exit": [{"addr": "3-7", "nat": "10.0.0.7"}]},
      {"entrance": [{"ip": "198.51.100.52", "port": [1]}]},
      {"id": 9},
      {"id": 1, "entrance": [{"ip": "198.51.100.51", "port": [40002]}], "exit": []}]}})");
  ASSERT_TRUE(answer);
  auto info = GVQ5RuleFile::merge(*answer, *file, "rules-1.dat");
  EXPECT_EQ(info.flow_id, tq::Number(5001));
  EXPECT_EQ(info.blacklist, file->blacklist);
  EXPECT_EQ(info.dns_rule, file->DNS);
  ASSERT_TRUE(info.vni_array);
  ASSERT_EQ(info.vni_array->size(), 2u);
  const auto& first = (*info.vni_array)[0];
  EXPECT_EQ(first.id, tq::Number(2));
  EXPECT_EQ(first.entrance, (*answer->config->vni_array)[0].entrance);
  EXPECT_EQ(first.exits, (*answer->config->vni_array)[0].exit);
  EXPECT_EQ(first.up_stream_limit, tq::Number(10));
  EXPECT_EQ(first.down_stream_limit, tq::Number(20));
  EXPECT_EQ(first.offset, tq::Number(0));
  EXPECT_EQ(first.traffic_level, tq::Number(1));
  const auto& second = (*info.vni_array)[1];
  EXPECT_EQ(second.id, tq::Number(1));
  EXPECT_EQ(second.up_stream_limit, tq::Number(100));
  EXPECT_EQ(second.down_stream_limit, tq::Number(200));
  EXPECT_EQ(second.offset, tq::Number(3));
  EXPECT_EQ(second.traffic_level, tq::Number(2));
  EXPECT_EQ(second.dest, (*file->vni_array)[0].dest);
  ASSERT_TRUE(second.exits);
  EXPECT_TRUE(second.exits->empty());
}

TEST_F(Q5Controller, CacheIsUsedWhenMd5MatchesAndReplacedWhenChanged) {
  auto first = run(controller->loadRuleFile("rules-1.dat", md5));
  ASSERT_FALSE(first.error) << first.error->description;
  ASSERT_EQ(first.values.size(), 1u);
  EXPECT_EQ(game.ruleFileRequests("rules-1.dat"), 1);
  ASSERT_TRUE(fs::exists(cachePath("rules-1.dat")));

  std::string upper = md5;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& expected : {md5, upper}) {
    auto cached = run(controller->loadRuleFile("rules-1.dat", expected));
    ASSERT_FALSE(cached.error) << cached.error->description;
    EXPECT_EQ(cached.values, first.values);
    EXPECT_EQ(game.ruleFileRequests("rules-1.dat"), 1) << "no download for " << expected;
  }

  std::string changed = game.putRuleFile("rules-1.dat", R"({"vni-array": [{"id": 5}]})");
  auto again = run(controller->loadRuleFile("rules-1.dat", changed));
  ASSERT_FALSE(again.error) << again.error->description;
  EXPECT_EQ(game.ruleFileRequests("rules-1.dat"), 2);
  ASSERT_EQ(again.values.size(), 1u);
  ASSERT_TRUE(again.values[0].vni_array);
  EXPECT_EQ(again.values[0].vni_array->size(), 1u);
  std::ifstream in(cachePath("rules-1.dat"), std::ios::binary);
  std::string stored((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(standin::GameStandin::md5Hex(stored), changed) << "the cache holds the new file";
}

TEST_F(Q5Controller, BadDownloadsFailAndLeaveTheCacheAsItWas) {
  const std::string garbage = "not scrambled at all";
  const std::string scrambledNotJson = PXACrypto::encryptedStringOfString("{not json");
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string expectedMd5;
  } cases[] = {
      {"bytes that do not match the MD5",
       [&] { game.setRuleFileBytes("rules-1.dat", PXACrypto::encryptedStringOfString("{}")); },
       md5},
      {"matching MD5 but not scrambled", [&] { game.setRuleFileBytes("rules-1.dat", garbage); },
       standin::GameStandin::md5Hex(garbage)},
      {"matching MD5, scrambled, not JSON",
       [&] { game.setRuleFileBytes("rules-1.dat", scrambledNotJson); },
       standin::GameStandin::md5Hex(scrambledNotJson)},
      {"not found", [&] { game.setRuleFileMissing("rules-1.dat", true); }, md5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    auto e = run(controller->loadRuleFile("rules-1.dat", c.expectedMd5));
    ASSERT_TRUE(e.error);
    EXPECT_FALSE(e.error->description.empty());
    EXPECT_TRUE(e.values.empty());
    EXPECT_FALSE(fs::exists(cachePath("rules-1.dat")));
    EXPECT_TRUE(fs::is_empty(fs::path(dir) / "Library/Rules")) << "no temp file left";
    game.setRuleFileMissing("rules-1.dat", false);
    game.setRuleFileBytes("rules-1.dat", "");
  }

  // With an older good file cached, a bad download keeps it byte for byte.
  auto good = run(controller->loadRuleFile("rules-1.dat", md5));
  ASSERT_FALSE(good.error);
  std::string before = standin::GameStandin::md5Hex([&] {
    std::ifstream in(cachePath("rules-1.dat"), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }());
  game.setRuleFileBytes("rules-1.dat", garbage);
  auto bad = run(controller->loadRuleFile("rules-1.dat", "0123456789abcdef0123456789abcdef"));
  ASSERT_TRUE(bad.error);
  std::ifstream in(cachePath("rules-1.dat"), std::ios::binary);
  EXPECT_EQ(standin::GameStandin::md5Hex(std::string((std::istreambuf_iterator<char>(in)), {})),
            before);
}

TEST_F(Q5Controller, DisposingADownloadCancelsIt) {
  auto transport = std::make_shared<RecordingTransport>();
  controller->setTransport(transport);
  game.setRuleFileDelay(std::chrono::minutes(1));  // the stand-in holds its answer
  Events<PXA_SPEED_START_CACHE_FILE> e;
  auto d =
      controller->loadRuleFile("rules-1.dat", md5)
          .subscribe({[&](const PXA_SPEED_START_CACHE_FILE& v) { e.values.push_back(v); },
                      [&](const TQError& err) { e.error = err; }, [&] { e.completed = true; }});
  ASSERT_TRUE(main.queue().runUntil([&] { return game.ruleFileRequests("rules-1.dat") == 1; }));
  d.dispose();
  // Only a cancelled request ends before the stand-in answers.
  ASSERT_TRUE(main.queue().runUntil([&] { return !transport->outcomes.empty(); }));
  EXPECT_EQ(transport->outcomes[0].domain, TQAPITransportErrorDomain);
  EXPECT_EQ(transport->outcomes[0].code, TQAPITransportErrorCancelled);
  game.setRuleFileDelay(std::chrono::milliseconds(0));  // answers now, to nobody
  main.pump();
  EXPECT_TRUE(e.values.empty());
  EXPECT_FALSE(e.ended()) << "a disposed subscriber hears nothing";
  EXPECT_FALSE(fs::exists(cachePath("rules-1.dat")));

  // The next start downloads afresh and is served.
  auto again = run(controller->loadRuleFile("rules-1.dat", md5));
  ASSERT_FALSE(again.error) << again.error->description;
  EXPECT_EQ(game.ruleFileRequests("rules-1.dat"), 2);
  EXPECT_TRUE(fs::exists(cachePath("rules-1.dat")));
}

TEST_F(Q5Controller, FileNamesThatAreNotOnePlainComponentAreRefused) {
  for (const char* name : {"../evil", "a/b", "..", ".", "", "/etc/passwd"}) {
    SCOPED_TRACE(name);
    auto e = run(controller->loadRuleFile(name, md5));
    ASSERT_TRUE(e.error);
  }
  EXPECT_EQ(game.ruleFileRequests("../evil"), 0);
  EXPECT_FALSE(fs::exists(fs::path(dir) / "Library/evil"));
}

// Without a library folder set, the cache is the user's own private folder under the data home,
// and with no home at all the rule file is refused rather than cached in a shared folder.
TEST_F(Q5Controller, RuleCacheIsPrivateUnderTheDataHomeAndNeedsOne) {
  auto own =
      std::make_shared<GVQ5VPNController>("com.example.q5.tunnel", "relay.example", "Galvent");
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string xdg = savedXdg ? savedXdg : "", home = savedHome ? savedHome : "";
  ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  auto e = run(own->loadRuleFile("rules-1.dat", md5));
  ASSERT_FALSE(e.error) << e.error->description;
  const fs::path folder = fs::path(dir) / "data/com.example.q5.tunnel";
  EXPECT_TRUE(fs::exists(folder / "Rules/rules-1.dat"));
  for (const auto& f : {folder, folder / "Rules"})
    EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_all) << f;

  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  auto refused = run(own->loadRuleFile("rules-1.dat", md5));
  if (savedXdg) ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  if (savedHome) ::setenv("HOME", home.c_str(), 1);
  ASSERT_TRUE(refused.error);
  EXPECT_NE(refused.error->description.find("HOME"), std::string::npos);
}

TEST_F(Q5Controller, StartAndStopAroundTheTunnel) {
  platform::dispatch::ScopedVirtualClock clock;
  FakeDaemon daemon(dir + "/com.example.q5.tunnel.sock");
  int launches = 0;
  platform::netext::TunnelLaunchSettings launch;
  launch.launcher = [&](const std::string&, const std::vector<std::string>&) {
    ++launches;
    return daemon.start() ? std::nullopt
                          : std::optional<ControlError>(ControlError{"test", 1, "listen"});
  };
  controller->setLaunchSettings(launch);
  controller->loadVPNManagerPreferences();
  main.pump();

  auto s = session();
  Events<GVLaunchOptions> e;
  auto d =
      controller->startSession(s, std::nullopt)
          .subscribe({[&](const GVLaunchOptions& v) { e.values.push_back(v); },
                      [&](const TQError& err) { e.error = err; }, [&] { e.completed = true; }});
  main.pump();
  EXPECT_TRUE(game.requests().empty()) << "nothing before 1.0 s";
  clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
  ASSERT_FALSE(e.error) << e.error->description;
  EXPECT_EQ(launches, 1);

  auto request = game.lastRequest("/api/v3/start-list");
  ASSERT_TRUE(request);
  const auto& p = request->params;
  EXPECT_EQ(p.value("platform", ""), "IOS");
  EXPECT_EQ(p.value("gid", ""), "77");
  EXPECT_EQ(p.value("mac", ""), "02:00:00:00:00:01");
  EXPECT_EQ(p.value("uid", ""), "10001");
  EXPECT_EQ(p.value("clientip", ""), "198.51.100.7");
  EXPECT_EQ(p.value("version", ""), "1.2.3");
  EXPECT_EQ(p.value("entrance", ""), "198.51.100.50");
  EXPECT_EQ(p.value("token", ""), "tok-1");
  EXPECT_FALSE(p.contains("lang"));

  ASSERT_TRUE(s->speedInfo && s->speedInfo->vni_array);
  ASSERT_EQ(s->speedInfo->vni_array->size(), 2u) << "group 9 is not in the rule file";
  EXPECT_EQ((*s->speedInfo->vni_array)[0].id, tq::Number(2));
  EXPECT_EQ((*s->speedInfo->vni_array)[1].id, tq::Number(1));
  ASSERT_EQ(e.values.size(), 1u);
  ASSERT_TRUE(e.values[0].q5session);
  EXPECT_EQ(e.values[0].q5session->speedInfo, s->speedInfo);
  EXPECT_EQ(daemon.lastOptions()["q5session"]["speedInfo"]["flow_id"],
            tq::toDictionary(*s->speedInfo)["flow_id"]);
  ASSERT_TRUE(main.queue().runUntil([&] { return controller->status() == VpnStatus::Connected; }));

  auto stop = controller->stopSession(s);
  Events<nlohmann::json> end;
  auto ds =
      stop.subscribe({[&](const nlohmann::json& v) { end.values.push_back(v); },
                      [&](const TQError& err) { end.error = err; }, [&] { end.completed = true; }});
  ASSERT_TRUE(
      main.queue().runUntil([&] { return controller->status() == VpnStatus::Disconnected; }));
  EXPECT_EQ(daemon.lastStopReason.load(), 1);
  main.pump();
  EXPECT_FALSE(game.lastRequest("/api/end")) << "the end report waits 3.0 s";
  clock.advance(std::chrono::seconds(3));
  ASSERT_TRUE(main.queue().runUntil([&] { return end.ended(); }));
  auto endRequest = game.lastRequest("/api/end");
  ASSERT_TRUE(endRequest);
  EXPECT_EQ(endRequest->params.value("type", ""), "1");
  EXPECT_EQ(endRequest->params.value("uid", ""), "10001");
  EXPECT_EQ(endRequest->params.value("flowId", ""),
            tq::toDictionary(*s->speedInfo)["flow_id"].dump());
}

TEST_F(Q5Controller, FailedStartListFailsTheStartWithoutLaunching) {
  platform::dispatch::ScopedVirtualClock clock;
  int launches = 0;
  platform::netext::TunnelLaunchSettings launch;
  launch.launcher = [&](const std::string&, const std::vector<std::string>&) {
    ++launches;
    return std::optional<ControlError>();
  };
  controller->setLaunchSettings(launch);
  game.setCode("/api/v3/start-list", 1234, "no such game");
  auto s = session();
  Events<GVLaunchOptions> e;
  auto d =
      controller->startSession(s, std::nullopt)
          .subscribe({[&](const GVLaunchOptions& v) { e.values.push_back(v); },
                      [&](const TQError& err) { e.error = err; }, [&] { e.completed = true; }});
  clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
  ASSERT_TRUE(e.error);
  EXPECT_EQ(e.error->code, 1234);
  EXPECT_EQ(launches, 0);
  EXPECT_FALSE(s->speedInfo);

  // A start list naming a file outside the cache fails the start too.
  game.clearSwitches();
  game.putRuleFile("../evil", kRuleFileJson);
  game.setStartRuleFile("../evil");
  Events<GVLaunchOptions> evil;
  auto d2 = controller->startSession(s, std::nullopt)
                .subscribe({[&](const GVLaunchOptions& v) { evil.values.push_back(v); },
                            [&](const TQError& err) { evil.error = err; },
                            [&] { evil.completed = true; }});
  clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(main.queue().runUntil([&] { return evil.ended(); }));
  ASSERT_TRUE(evil.error);
  EXPECT_EQ(launches, 0);
}

TEST_F(Q5Controller, StartAndStopWithoutSessionFail) {
  auto started = run(controller->start());
  ASSERT_TRUE(started.error);
  EXPECT_EQ(started.error->domain, TQAPILocalErrorDomain);
  auto stopped = run(controller->stop());
  ASSERT_TRUE(stopped.error);
  EXPECT_EQ(stopped.error->domain, TQAPILocalErrorDomain);
}

}  // namespace
