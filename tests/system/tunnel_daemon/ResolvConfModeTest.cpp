// galvent-tunnel with --dns-config resolv.conf, in a private mount namespace whose /etc is an
// overlay over the real one: the system's resolver file is replaced while the tunnel runs, a
// crash leaves a backup that the next start restores first, and a stop brings the original entry
// (here a link, as a resolver service leaves it) back. The real /etc is never written.
//
// The systemd-resolved mode needs a running resolved on a system bus, which a CI container does
// not have; it is not exercised here.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "TunnelStart.h"
#include "platform/netext/ControlSocket.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;
using platform::netext::ControlClient;
using platform::netext::ControlRequest;
using tunnel_daemon_test::startTunnel;
namespace fs = std::filesystem;

namespace {

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

  // The resolver file as the running daemon sees it through its own mount namespace: the
  // tunnel's address, and the original link kept as the backup.
  void expectReplaced(const systest::Process& daemon) {
    fs::path etc = fs::path("/proc") / std::to_string(daemon.pid()) / "root/etc";
    EXPECT_NE(readFile(etc / "resolv.conf").find("nameserver 198.18.0.1"), std::string::npos);
    EXPECT_EQ(fs::read_symlink(etc / "resolv.conf.galvent-backup"), dir_.path() / "stub.conf");
  }

  systest::TempDir dir_{"gvt-resolv"};
};

TEST_F(ResolvConfMode, ReplacedWhileRunningAndRestoredAfterACrash) {
  systest::Netns ns(systest::uniqueName("gvt-r"));
  ASSERT_TRUE(ns.valid());
  const fs::path upper = dir_.path() / "upper";
  {
    auto daemon = launch(ns, true);
    ControlClient client;
    ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
        << "exit " << daemon.wait(0ms).value_or(-1);
    expectReplaced(daemon);
    // A crash: nothing is restored.
    daemon.signal(SIGKILL);
    ASSERT_TRUE(daemon.wait(5s));
  }
  EXPECT_TRUE(fs::is_symlink(upper / "resolv.conf.galvent-backup"));
  EXPECT_FALSE(fs::is_symlink(upper / "resolv.conf"));
  fs::remove(control());

  {
    // The next run finds the backup; its own start restores it before saving a new one, so the
    // backup stays the original link and not the crashed run's file.
    auto daemon = launch(ns, false);
    ControlClient client;
    ASSERT_EQ(startTunnel(client, control(), startOptions(), daemon), "")
        << "exit " << daemon.wait(0ms).value_or(-1);
    expectReplaced(daemon);
    ASSERT_EQ(client.send(ControlRequest::stop(1)), 0);
    EXPECT_EQ(daemon.wait(10s), std::optional<int>(0)) << daemon.log();
  }
  ASSERT_TRUE(fs::is_symlink(upper / "resolv.conf"));
  EXPECT_EQ(fs::read_symlink(upper / "resolv.conf"), dir_.path() / "stub.conf");
  EXPECT_FALSE(fs::is_symlink(upper / "resolv.conf.galvent-backup"));
  EXPECT_EQ(readFile(dir_.path() / "stub.conf"), "nameserver 127.0.0.53\n");
}

}  // namespace
