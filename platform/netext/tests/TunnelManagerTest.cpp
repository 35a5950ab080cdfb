// Saved tunnel configurations and the connection to a tunnel daemon. The daemon here is a small
// one in the test speaking the real control protocol over the real socket code.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "FakeTunnelDaemon.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/netext/ControlSocket.h"
#include "platform/netext/TunnelConnection.h"
#include "platform/netext/TunnelProviderManager.h"

namespace fs = std::filesystem;
using namespace platform::netext;

namespace {

using platform::netext::testing::FakeDaemon;

class TunnelManager : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/netext-manager-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    ::setenv("GALVENT_RUN_DIR", dir.c_str(), 1);
    TunnelProviderManager::setPreferencesPath(dir + "/config/galvent/tunnels.json");
    observation = std::make_unique<platform::notifications::Observation>(
        platform::notifications::NotificationCenter::defaultCenter().observe(
            NEVPNStatusDidChangeNotification,
            [this](const platform::notifications::Notification& n) {
              auto c = std::any_cast<std::shared_ptr<TunnelConnection>>(n.object);
              statuses.push_back(c->status());
            }));
  }
  void TearDown() override {
    observation.reset();
    TunnelProviderManager::setPreferencesPath("");
    ::unsetenv("GALVENT_RUN_DIR");
    fs::remove_all(dir);
  }

  std::string prefsPath() const { return dir + "/config/galvent/tunnels.json"; }

  TunnelProviderManager::Ptr saved(const std::string& provider, const std::string& description) {
    auto m = TunnelProviderManager::create();
    m->setProtocolConfiguration(TunnelProviderProtocol{provider, "relay.example"});
    m->setLocalizedDescription(description);
    m->setEnabled(true);
    std::optional<ControlError> result{ControlError{"unset", 0, ""}};
    m->saveToPreferences([&](std::optional<ControlError> e) { result = e; });
    main.pump();
    EXPECT_FALSE(result) << result->description;
    return m;
  }

  std::vector<TunnelProviderManager::Ptr> loadAll() {
    std::vector<TunnelProviderManager::Ptr> out;
    bool done = false;
    TunnelProviderManager::loadAllFromPreferences(
        [&](std::vector<TunnelProviderManager::Ptr> all, std::optional<ControlError>) {
          out = std::move(all);
          done = true;
        });
    main.pump();
    EXPECT_TRUE(done);
    return out;
  }

  TunnelLaunchSettings launchingInto(FakeDaemon& daemon, std::vector<std::string>* args) {
    TunnelLaunchSettings s;
    s.program = "/opt/galvent/galvent-tunnel";
    s.containerRoot = dir + "/containers";
    s.resources = dir + "/res";
    s.answerTimeout = std::chrono::seconds(5);
    s.launcher = [&daemon, args](const std::string& program,
                                 const std::vector<std::string>& a) -> std::optional<ControlError> {
      if (args) {
        *args = a;
        args->insert(args->begin(), program);
      }
      if (!daemon.start()) return ControlError{"test", 1, "cannot listen"};
      return std::nullopt;
    };
    return s;
  }

  platform::dispatch::ScopedMainQueue main;
  std::string dir;
  std::vector<VpnStatus> statuses;
  std::unique_ptr<platform::notifications::Observation> observation;
};

TEST_F(TunnelManager, SaveLoadRoundTripAndRemoval) {
  auto first = saved("com.example.tunnel", "First");
  auto second = saved("com.example.tunnel", "Second");
  second->setLocalizedDescription("Second, renamed");
  std::optional<ControlError> e{ControlError{}};
  second->saveToPreferences([&](std::optional<ControlError> r) { e = r; });
  main.pump();
  ASSERT_FALSE(e);

  auto all = loadAll();
  ASSERT_EQ(all.size(), 2u) << "a changed configuration replaces its own entry";
  EXPECT_EQ(all[0]->identifier(), first->identifier());
  EXPECT_EQ(all[0]->localizedDescription(), "First");
  EXPECT_TRUE(all[0]->enabled());
  EXPECT_FALSE(all[0]->onDemandEnabled());
  ASSERT_TRUE(all[0]->protocolConfiguration());
  EXPECT_EQ(*all[0]->protocolConfiguration(),
            (TunnelProviderProtocol{"com.example.tunnel", "relay.example"}));
  EXPECT_EQ(all[1]->localizedDescription(), "Second, renamed");

  all[1]->removeFromPreferences([&](std::optional<ControlError> r) { e = r; });
  main.pump();
  ASSERT_FALSE(e);
  auto after = loadAll();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0]->identifier(), first->identifier());

  // Removing again, or reloading a removed one, is an error.
  all[1]->removeFromPreferences([&](std::optional<ControlError> r) { e = r; });
  main.pump();
  EXPECT_TRUE(e);
  all[1]->loadFromPreferences([&](std::optional<ControlError> r) { e = r; });
  main.pump();
  EXPECT_TRUE(e);

  struct stat st;
  ASSERT_EQ(::stat(prefsPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(prefsPath() + ".tmp"));
}

TEST_F(TunnelManager, CorruptOrMissingFileMeansNoConfigurationsAndIsReplaced) {
  EXPECT_TRUE(loadAll().empty()) << "no file yet";
  const char* corrupt[] = {"",
                           "{",
                           "[]",
                           "{\"configurations\":{}}",
                           "{\"configurations\":[{\"identifier\":7}]}",
                           "{\"configurations\":[{\"identifier\":\"a\",\"enabled\":\"yes\"}]}",
                           "{\"configurations\":[{\"identifier\":\"a\",\"protocol\":[]}]}",
                           "{\"configurations\":[{\"identifier\":\"\"}]}",
                           "\xff\xfe"};
  for (const char* text : corrupt) {
    fs::create_directories(fs::path(prefsPath()).parent_path());
    std::ofstream(prefsPath(), std::ios::binary) << text;
    EXPECT_TRUE(loadAll().empty()) << text;
    EXPECT_FALSE(decodeTunnelPreferences(text)) << text;
  }
  saved("com.example.tunnel", "Fresh");
  auto all = loadAll();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->localizedDescription(), "Fresh");
}

TEST_F(TunnelManager, StartLaunchesDaemonAndPublishesEachStatus) {
  FakeDaemon daemon(dir + "/com.example.tunnel.sock");
  std::vector<std::string> args;
  auto connection =
      std::make_shared<TunnelConnection>("com.example.tunnel", launchingInto(daemon, &args));
  EXPECT_EQ(connection->status(), VpnStatus::Disconnected);

  bool replied = false;
  connection->sendProviderMessage("hello", [&](std::string data) {
    replied = true;
    EXPECT_TRUE(data.empty()) << "no daemon: empty answer at once";
  });
  EXPECT_TRUE(replied);

  auto error = connection->startVPNTunnel({{"tunnelOptions", {{"MTU", 1400}}}});
  ASSERT_FALSE(error) << error->description;
  EXPECT_EQ(daemon.starts.load(), 1);
  EXPECT_EQ(daemon.lastOptions()["tunnelOptions"]["MTU"], 1400);
  const std::vector<std::string> expected = {"/opt/galvent/galvent-tunnel",
                                             "--control",
                                             dir + "/com.example.tunnel.sock",
                                             "--owner-uid",
                                             std::to_string(::getuid()),
                                             "--container-root",
                                             dir + "/containers",
                                             "--resources",
                                             dir + "/res"};
  EXPECT_EQ(args, expected);
  ASSERT_TRUE(main.queue().runUntil([&] { return connection->status() == VpnStatus::Connected; }));
  EXPECT_EQ(statuses, (std::vector<VpnStatus>{VpnStatus::Connecting, VpnStatus::Connected}));

  std::string answer;
  connection->sendProviderMessage("abc", [&](std::string data) { answer = data; });
  ASSERT_TRUE(main.queue().runUntil([&] { return !answer.empty(); }));
  EXPECT_EQ(answer, "cba");
  daemon.nullReplies = true;
  replied = false;
  connection->sendProviderMessage("abc", [&](std::string data) {
    replied = true;
    answer = data;
  });
  ASSERT_TRUE(main.queue().runUntil([&] { return replied; }));
  EXPECT_EQ(answer, "") << "a null answer is empty data";

  statuses.clear();
  connection->stopVPNTunnel();
  ASSERT_TRUE(
      main.queue().runUntil([&] { return connection->status() == VpnStatus::Disconnected; }));
  EXPECT_EQ(daemon.lastStopReason.load(), 1);
  EXPECT_EQ(statuses, (std::vector<VpnStatus>{VpnStatus::Disconnecting, VpnStatus::Disconnected}));
  EXPECT_FALSE(connection->lastError());
}

// The daemon's own flags reach it; a daemon that goes away unasked (killed, crashed) leaves
// status 1 with an error, not a silent "disconnected".
TEST_F(TunnelManager, DaemonFlagsAndADaemonEndingUnasked) {
  FakeDaemon daemon(dir + "/com.example.tunnel.sock");
  std::vector<std::string> args;
  auto settings = launchingInto(daemon, &args);
  settings.mark = 0x47560002;
  settings.table = 5170;
  settings.dnsConfig = "resolv.conf";
  settings.logHost = "logs.example";
  auto connection = std::make_shared<TunnelConnection>("com.example.tunnel", settings);
  ASSERT_FALSE(connection->startVPNTunnel({{"tunnelOptions", nlohmann::json::object()}}));
  const std::vector<std::string> tail = {"--mark",     "1196818434",   "--table",
                                         "5170",       "--dns-config", "resolv.conf",
                                         "--log-host", "logs.example"};
  ASSERT_GE(args.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(args.end() - long(tail.size()), args.end()), tail);
  ASSERT_TRUE(main.queue().runUntil([&] { return connection->status() == VpnStatus::Connected; }));

  daemon.stop();
  ASSERT_TRUE(
      main.queue().runUntil([&] { return connection->status() == VpnStatus::Disconnected; }));
  ASSERT_TRUE(connection->lastError());
  EXPECT_NE(connection->lastError()->description.find("ended unexpectedly"), std::string::npos);
}

TEST_F(TunnelManager, RestartedAppFindsRunningDaemon) {
  FakeDaemon daemon(dir + "/com.example.tunnel.sock");
  ASSERT_TRUE(daemon.start(VpnStatus::Connected));
  saved("com.example.tunnel", "Running");
  auto all = loadAll();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->connection()->status(), VpnStatus::Connected)
      << "the status is known when the load completes";
  EXPECT_EQ(daemon.starts.load(), 0);
}

TEST_F(TunnelManager, StartFailures) {
  {
    SCOPED_TRACE("the daemon refuses start");
    FakeDaemon daemon(dir + "/p1.sock");
    daemon.refuseStart = true;
    auto c = std::make_shared<TunnelConnection>("p1", launchingInto(daemon, nullptr));
    auto error = c->startVPNTunnel(nlohmann::json::object());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "bad options");
    main.pump();
    EXPECT_EQ(c->status(), VpnStatus::Disconnected) << "not left connecting";
  }
  {
    SCOPED_TRACE("accepted, then the daemon fails: status 1 with its error");
    FakeDaemon daemon(dir + "/p2.sock");
    daemon.failAfterStart = true;
    auto c = std::make_shared<TunnelConnection>("p2", launchingInto(daemon, nullptr));
    statuses.clear();
    auto error = c->startVPNTunnel(nlohmann::json::object());
    ASSERT_FALSE(error) << error->description;
    ASSERT_TRUE(main.queue().runUntil(
        [&] { return statuses.size() >= 2 && c->status() == VpnStatus::Disconnected; }));
    ASSERT_TRUE(c->lastError());
    EXPECT_EQ(c->lastError()->description, "no route");
  }
  {
    SCOPED_TRACE("the launcher refuses");
    TunnelLaunchSettings s;
    s.launcher = [](const std::string&, const std::vector<std::string>&) {
      return std::optional<ControlError>(ControlError{"auth", 126, "not authorised"});
    };
    auto c = std::make_shared<TunnelConnection>("p3", s);
    auto error = c->startVPNTunnel(nlohmann::json::object());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 126);
    main.pump();
    EXPECT_EQ(c->status(), VpnStatus::Disconnected);
  }
  {
    SCOPED_TRACE("launched, but no socket appears");
    TunnelLaunchSettings s;
    s.launchTimeout = std::chrono::milliseconds(100);
    s.launcher = [](const std::string&, const std::vector<std::string>&) {
      return std::optional<ControlError>();
    };
    auto c = std::make_shared<TunnelConnection>("p4", s);
    auto error = c->startVPNTunnel(nlohmann::json::object());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ETIMEDOUT);
  }
  for (const char* bad : {"", ".", "..", "a/b", "../evil"}) {
    SCOPED_TRACE(bad);
    bool launched = false;
    TunnelLaunchSettings s;
    s.launcher = [&](const std::string&, const std::vector<std::string>&) {
      launched = true;
      return std::optional<ControlError>();
    };
    auto c = std::make_shared<TunnelConnection>(bad, s);
    EXPECT_TRUE(c->startVPNTunnel(nlohmann::json::object()));
    EXPECT_FALSE(launched);
    EXPECT_FALSE(controlSocketPath(bad));
  }
}

TEST_F(TunnelManager, DaemonProgramMustBeRootOwnedAndNotWritableByOthers) {
  EXPECT_TRUE(checkDaemonProgram(dir + "/missing"));
  EXPECT_TRUE(checkDaemonProgram("relative/galvent-tunnel"));
  EXPECT_TRUE(checkDaemonProgram(dir)) << "a folder";
  std::string file = dir + "/galvent-tunnel";
  std::ofstream(file) << "#!/bin/sh\n";
  ::chmod(file.c_str(), 0755);
  if (::geteuid() == 0) {
    EXPECT_FALSE(checkDaemonProgram(file));
    ::chmod(file.c_str(), 0757);
    EXPECT_TRUE(checkDaemonProgram(file)) << "writable by others";
    ::chmod(file.c_str(), 0775);
    EXPECT_TRUE(checkDaemonProgram(file)) << "writable by the group";
    ::chmod(file.c_str(), 0755);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  }
  EXPECT_TRUE(checkDaemonProgram(file)) << "not owned by root";
  // The default launcher refuses it before running anything.
  EXPECT_TRUE(defaultTunnelLauncher(file, {}));
}

// The default launch path: one elevation of the privileged runner per launch, the program checked
// before anything runs, a scrubbed environment and a detached daemon. The elevators are stand-ins
// (one passes through, one refuses); the runner is the real one.
class AuthorizedLaunch : public TunnelManager {
 protected:
  void SetUp() override {
    TunnelManager::SetUp();
    script("pass", "echo call >> '" + dir + "/elevations'\nexec \"$@\"\n");
    script("refuse", "echo call >> '" + dir + "/elevations'\nexit 126\n");
    // Stands in for the daemon: reports how it was started, then stays up until killed.
    script("galvent-tunnel",
           "echo \"$$ $(cut -d' ' -f4 /proc/$$/stat)\" > \"$2.tmp\"\n"
           "echo \"$*\" >> \"$2.tmp\"\n"
           "env | grep -v '^PWD=' | grep -v '^SHLVL=' | grep -v '^_=' >> \"$2.tmp\"\n"
           "mv \"$2.tmp\" \"$2\"\n"
           "exec sleep 60\n");
  }
  void TearDown() override {
    for (pid_t pid : started) ::kill(pid, SIGKILL);
    TunnelManager::TearDown();
  }
  void script(const std::string& name, const std::string& body) {
    std::ofstream(dir + "/" + name) << "#!/bin/sh\n" << body;
    ::chmod((dir + "/" + name).c_str(), 0755);
  }
  platform::auth::Options through(const std::string& elevator) {
    platform::auth::Options o;
    o.elevator = dir + "/" + elevator;
    o.runner = AUTH_RUNNER_PATH;
    o.forceElevation = true;
    return o;
  }
  size_t elevations() {
    std::ifstream in(dir + "/elevations");
    size_t n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  }
  // The report the stand-in daemon writes: "pid ppid", its arguments, its environment.
  std::vector<std::string> report(const std::string& path) {
    // Waits for the launched process, not for a timer of ours.
    for (int i = 0; i < 500 && !fs::exists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    if (!lines.empty()) started.push_back(std::stoi(lines[0]));
    return lines;
  }
  std::vector<pid_t> started;
};

TEST_F(AuthorizedLaunch, OneElevationScrubbedEnvironmentDetachedDaemon) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the daemon program";
  const std::string program = dir + "/galvent-tunnel";
  const std::string reportPath = dir + "/report";
  ::setenv("NETEXT_TEST_SECRET", "x", 1);
  auto error = authorizedTunnelLauncher(through("pass"))(program, {"--control", reportPath});
  ASSERT_FALSE(error) << error->description;
  auto lines = report(reportPath);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].substr(lines[0].find(' ') + 1), std::to_string(::getpid()))
      << "not a child of the app";
  EXPECT_EQ(lines[1], "--control " + reportPath);
  EXPECT_EQ(lines[2], "PATH=/usr/sbin:/usr/bin:/sbin:/bin");
  EXPECT_EQ(elevations(), 1u);

  // As root without forcing, the daemon starts directly: no elevation.
  auto direct = through("pass");
  direct.forceElevation = false;
  error = authorizedTunnelLauncher(direct)(program, {"--control", reportPath + "2"});
  ASSERT_FALSE(error) << error->description;
  EXPECT_EQ(report(reportPath + "2").size(), 3u);
  EXPECT_EQ(elevations(), 1u);
}

// Every start asks for rights through the runner itself (the runner is the program the elevator
// runs), so the policy's keep period of the runner's action covers a second start. The elevator
// stands in for the policy agent: it asks only when that program was not authorized before.
TEST_F(AuthorizedLaunch, SecondStartWithinTheKeepPeriodAsksNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the daemon program";
  script("keeping", "echo \"$1\" >> '" + dir + "/elevations'\n" + "stamp='" + dir +
                        "/kept-'$(echo \"$1\" | md5sum | cut -c1-32)\n" +
                        "[ -e \"$stamp\" ] || { echo ask >> '" + dir +
                        "/prompts'; touch \"$stamp\"; }\n" + "exec \"$@\"\n");
  const std::string program = dir + "/galvent-tunnel";
  for (const char* name : {"/first", "/second"}) {
    auto error = authorizedTunnelLauncher(through("keeping"))(program, {"--control", dir + name});
    ASSERT_FALSE(error) << error->description;
    EXPECT_EQ(report(dir + name).size(), 3u) << name;
  }
  std::ifstream prompts(dir + "/prompts");
  size_t asked = 0;
  for (std::string l; std::getline(prompts, l);) ++asked;
  EXPECT_EQ(asked, 1u) << "the second start asked again";
  std::ifstream calls(dir + "/elevations");
  std::vector<std::string> programs;
  for (std::string l; std::getline(calls, l);) programs.push_back(l);
  EXPECT_EQ(programs, (std::vector<std::string>{AUTH_RUNNER_PATH, AUTH_RUNNER_PATH}));
}

TEST_F(AuthorizedLaunch, RefusalsAreClearErrorsAndStartNothing) {
  const std::string program = dir + "/galvent-tunnel";
  const std::string reportPath = dir + "/report";
  if (::geteuid() == 0) {
    auto refused = authorizedTunnelLauncher(through("refuse"))(program, {"--control", reportPath});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, EACCES);
    EXPECT_NE(refused->description.find("refused"), std::string::npos) << refused->description;
    EXPECT_EQ(elevations(), 1u);

    auto missing = authorizedTunnelLauncher(through("no-such-elevator"))(program, {});
    ASSERT_TRUE(missing);
    EXPECT_NE(missing->description.find("root rights"), std::string::npos);

    // A runner that others could have replaced is never elevated.
    auto unsafe = through("pass");
    unsafe.runner = dir + "/gelmora-auth-runner";
    fs::copy_file(AUTH_RUNNER_PATH, unsafe.runner);
    ::chmod(unsafe.runner.c_str(), 0757);
    auto replaced = authorizedTunnelLauncher(unsafe)(program, {"--control", reportPath});
    ASSERT_TRUE(replaced);
    EXPECT_NE(replaced->description.find("runner"), std::string::npos) << replaced->description;

    // A program others may change is refused before anyone is asked for rights.
    ::chmod(program.c_str(), 0757);
    auto writable = authorizedTunnelLauncher(through("pass"))(program, {"--control", reportPath});
    ASSERT_TRUE(writable);
    EXPECT_EQ(writable->code, EPERM);
    EXPECT_EQ(elevations(), 1u);
  } else {
    auto notRoots = authorizedTunnelLauncher(through("pass"))(program, {"--control", reportPath});
    ASSERT_TRUE(notRoots);
    EXPECT_EQ(notRoots->code, EPERM);
    EXPECT_EQ(elevations(), 0u);
  }
  EXPECT_FALSE(fs::exists(reportPath)) << "nothing was started";
}

}  // namespace
