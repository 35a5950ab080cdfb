// galvent-tunnel with --dns-config resolv.conf, in a private mount namespace whose /etc is an
// overlay over the real one: the system's resolver file is replaced while the tunnel runs; a
// crash is undone by the daemon's guardian, or, when that died too, by the next start; a stop
// brings the original entry (here a link, as a resolver service leaves it) back unless someone
// else rewrote the file meanwhile. The real /etc is never written.
//
// The systemd-resolved mode needs a running resolved on a system bus, which a CI container does
// not have; it is not exercised here.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "TunnelStart.h"
#include "platform/netext/ControlSocket.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;
using platform::netext::ControlClient;
using platform::netext::ControlRequest;
using tunnel_daemon_test::startTunnel;
namespace fs = std::filesystem;

namespace {

// The daemon's default mark, as `ip rule` prints it.
constexpr const char* kMarkText = "fwmark 0x47560001";

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Start options that reach status 3 with nothing listening: the service calls and probes fail
// quietly, the settings still apply.
nlohmann::json startOptions() {
  nlohmann::json entrance = {{"ip", "198.51.100.50"}, {"ports", {40001}}};
  nlohmann::json speedInfo = {{"flow_id", 1},
                              {"entrance", nlohmann::json::array({entrance})},
                              {"dns_rule_exits", nlohmann::json::array()},
                              {"rules", nlohmann::json::array()}};
  return {{"tunnelOptions", {{"ipDataFile", ""}, {"observeInterfaceChange", false}}},
          {"tssession",
           {{"baseDomain", "127.0.0.1:9"}, {"userInfo", {{"uid", 1}}}, {"speedInfo", speedInfo}}}};
}

class ResolvConfMode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    if (!prepareProbe()) GTEST_SKIP() << "overlay mounts are not available here";
    fs::create_directories(dir_.path() / "upper");
    fs::create_directories(dir_.path() / "work");
    // The resolver's own file, which the link in /etc points at.
    std::ofstream(dir_.path() / "stub.conf") << "nameserver 127.0.0.53\n";
  }
  // Whether this kernel and container allow an overlay in a private mount namespace.
  bool prepareProbe() {
    fs::create_directories(dir_.path() / "probe-u");
    fs::create_directories(dir_.path() / "probe-w");
    return systest::sh(
               "unshare -m --propagation private mount -t overlay overlay -o "
               "lowerdir=/etc,upperdir=" +
               (dir_.path() / "probe-u").string() +
               ",workdir=" + (dir_.path() / "probe-w").string() + " /mnt")
        .ok();
  }

  // The daemon in `ns`, with /etc replaced by the overlay whose changes land in upper/.
  systest::Process launch(const systest::Netns& ns, bool linkResolvConf) {
    std::string script =
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + (dir_.path() / "upper").string() +
        ",workdir=" + (dir_.path() / "work").string() + " /etc || exit 90; ";
    if (linkResolvConf)
      script += "ln -sfn " + (dir_.path() / "stub.conf").string() + " /etc/resolv.conf; ";
    script += "exec " GALVENT_TUNNEL_PATH " --control " + control() +
              " --owner-uid 0 --container-root " + dir_.path().string() +
              " --dns-config resolv.conf";
    systest::SpawnOptions options;
    options.netns = &ns;
    return systest::Process::spawn(
        {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script}, options);
  }
  std::string control() const { return (dir_.path() / "control").string(); }
  static std::string srcValidMark(const systest::Netns& ns) {
    auto out = ns.sh("sysctl -n net.ipv4.conf.all.src_valid_mark").output;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  // The daemon's guardian: its only lasting child.
  static std::optional<pid_t> guardianOf(const systest::Process& daemon) {
    const auto pid = std::to_string(daemon.pid());
    std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
    long child = 0;
    if (!(children >> child) || child <= 0) return std::nullopt;
    return static_cast<pid_t>(child);
  }
  // The resolver entry is the original link again and no backup is left.
  bool isOriginal() const {
    const fs::path upper = dir_.path() / "upper";
    std::error_code ec;
    return fs::is_symlink(upper / "resolv.conf", ec) &&
           fs::read_symlink(upper / "resolv.conf", ec) == dir_.path() / "stub.conf" &&
           !fs::is_symlink(upper / "resolv.conf.galvent-backup", ec) &&
           !fs::exists(upper / "resolv.conf.galvent-backup", ec);
  }

  // The resolver file as the running daemon sees it through its own mount namespace: the
  // tunnel's address, and the original link kept as the backup.
  void expectReplaced(const systest::Process& daemon) {
    fs::path etc = fs::path("/proc") / std::to_string(daemon.pid()) / "root/etc";
    EXPECT_NE(readFile(etc / "resolv.conf").find("nameserver 198.18.0.1"), std::string::npos);
    EXPECT_EQ(fs::read_symlink(etc / "resolv.conf.galvent-backup"), dir_.path() / "stub.conf");
  }

  systest::TempDir dir_{"gvt-resolv"};
};

// The daemon dies (SIGKILL, as a crash): its guardian puts the resolver file, the rules, the
// table and net.ipv4.conf.all.src_valid_mark back within seconds, without waiting for a next
// start.
TEST_F(ResolvConfMode, GuardianPutsEverythingBackWhenTheDaemonIsKilled) {
  systest::Netns ns(systest::uniqueName("gvt-r"));
  ASSERT_TRUE(ns.valid());
  ASSERT_TRUE(ns.ok("sysctl -qw net.ipv4.conf.all.src_valid_mark=0"));
  auto daemon = launch(ns, true);
  ControlClient client;
  ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
      << "exit " << daemon.wait(0ms).value_or(-1);
  expectReplaced(daemon);
  ASSERT_NE(ns.sh("ip rule show").output.find(kMarkText), std::string::npos);
  ASSERT_TRUE(guardianOf(daemon));
  ASSERT_EQ(srcValidMark(ns), "1");
  daemon.signal(SIGKILL);
  ASSERT_TRUE(daemon.wait(5s));
  EXPECT_TRUE(systest::waitFor([&] { return isOriginal(); }, 5s)) << daemon.log();
  EXPECT_TRUE(systest::waitFor([&] { return srcValidMark(ns) == "0"; }, 5s)) << daemon.log();
  EXPECT_EQ(ns.sh("ip rule show").output.find(kMarkText), std::string::npos)
      << ns.sh("ip rule show").output;
  EXPECT_EQ(ns.sh("ip route show table 5160 2>/dev/null").output, "");
  EXPECT_EQ(readFile(dir_.path() / "stub.conf"), "nameserver 127.0.0.53\n");
}

// Crashes that take the guardian too (two SIGKILLs each): every next start removes what the last
// run left before it listens, so rules never pile up, and a clean run ends with none of the mark,
// the original resolver entry and the src_valid_mark of before the first run.
TEST_F(ResolvConfMode, CrashesWithoutTheGuardianLeaveNothingAfterACleanRun) {
  systest::Netns ns(systest::uniqueName("gvt-r"));
  ASSERT_TRUE(ns.valid());
  ASSERT_TRUE(ns.ok("sysctl -qw net.ipv4.conf.all.src_valid_mark=0"));
  const fs::path upper = dir_.path() / "upper";
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    auto daemon = launch(ns, run == 0);
    ControlClient client;
    ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
        << "exit " << daemon.wait(0ms).value_or(-1);
    expectReplaced(daemon);
    auto guardian = guardianOf(daemon);
    ASSERT_TRUE(guardian);
    ASSERT_EQ(::kill(*guardian, SIGKILL), 0);
    daemon.signal(SIGKILL);
    ASSERT_TRUE(daemon.wait(5s));
    auto rules = ns.sh("ip rule show").output;
    EXPECT_EQ(occurrences(rules, kMarkText), 2u) << "one set of rules: " << rules;
    EXPECT_TRUE(fs::is_symlink(upper / "resolv.conf.galvent-backup"));
    EXPECT_EQ(srcValidMark(ns), "1") << "nobody was left to put it back";
    fs::remove(control());
  }
  auto daemon = launch(ns, false);
  ControlClient client;
  ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
      << "exit " << daemon.wait(0ms).value_or(-1);
  // The backup is still the original link, not a crashed run's file.
  expectReplaced(daemon);
  ASSERT_EQ(client.send(ControlRequest::stop(1)), 0);
  EXPECT_EQ(daemon.wait(10s), std::optional<int>(0)) << daemon.log();
  auto rules = ns.sh("ip rule show").output;
  EXPECT_EQ(rules.find(kMarkText), std::string::npos) << rules;
  EXPECT_EQ(rules.find("lookup 5161"), std::string::npos) << rules;
  EXPECT_TRUE(isOriginal());
  EXPECT_EQ(readFile(dir_.path() / "stub.conf"), "nameserver 127.0.0.53\n");
  EXPECT_EQ(srcValidMark(ns), "0");
}

// Something else rewrites the resolver file while the tunnel runs: at stop the newer file stays.
TEST_F(ResolvConfMode, FileRewrittenDuringTheRunIsLeftAtStop) {
  systest::Netns ns(systest::uniqueName("gvt-r"));
  ASSERT_TRUE(ns.valid());
  const fs::path upper = dir_.path() / "upper";
  auto daemon = launch(ns, true);
  ControlClient client;
  ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
      << "exit " << daemon.wait(0ms).value_or(-1);
  expectReplaced(daemon);
  fs::path etc = fs::path("/proc") / std::to_string(daemon.pid()) / "root/etc";
  fs::remove(etc / "resolv.conf");
  std::ofstream(etc / "resolv.conf") << "nameserver 192.168.1.1\n";
  ASSERT_EQ(client.send(ControlRequest::stop(1)), 0);
  EXPECT_EQ(daemon.wait(10s), std::optional<int>(0)) << daemon.log();
  EXPECT_FALSE(fs::is_symlink(upper / "resolv.conf"));
  EXPECT_EQ(readFile(upper / "resolv.conf"), "nameserver 192.168.1.1\n");
  EXPECT_FALSE(fs::is_symlink(upper / "resolv.conf.galvent-backup"));
}

}  // namespace
