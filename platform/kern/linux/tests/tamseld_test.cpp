// tamseld on the Linux back end, in a network namespace of its own: it starts and leaves every
// trace behind it removed, refuses to stop while a client is attached, and fails plainly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/kctl/Client.h"
#include "platform/kctl/wire.h"
#include "systest/Systest.h"
#include "tamsel/kctl_abi.h"

namespace {

namespace fs = std::filesystem;
namespace wire = platform::kctl::wire;
using namespace std::chrono_literals;

std::string admin(const std::string& run, const std::string& cmd) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string p = wire::admin_path(run, tamsel::abi::kControlName);
  std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return "no answer";
  }
  ::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL);
  char buf[4096];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  ::close(fd);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

class Tamseld : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ns_ = std::make_unique<systest::Netns>(systest::uniqueName("tsld"));
    ASSERT_TRUE(ns_->valid());
    ASSERT_TRUE(ns_->ok("sysctl -qw net.ipv4.conf.all.rp_filter=1"));
  }
  systest::Process start(const systest::TempDir& run) {
    systest::SpawnOptions o;
    o.netns = ns_.get();
    o.env = {"TAMSEL_RUN_DIR=" + run.path().string()};
    o.inheritEnv = true;
    return systest::Process::spawn({TAMSELD_PATH, "--foreground"}, o);
  }
  // Started: the pid file is written once the filter runs.
  bool up(const systest::TempDir& run) {
    return systest::waitFor([&] { return fs::exists(run.path() / "tamseld.pid"); }, 10s);
  }
  // Everything the daemon adds to the namespace, as text: empty when nothing is left.
  std::string traces() {
    std::string t;
    if (ns_->sh("iptables-save").output.find("TAMSEL") != std::string::npos) t += "chains ";
    if (ns_->ok("ip link show tamsel0 2>/dev/null")) t += "device ";
    auto queues = ns_->sh("cat /proc/net/netfilter/nfnetlink_queue").output;
    if (queues.find(" 3550 ") != std::string::npos || queues.find(" 3551 ") != std::string::npos)
      t += "queues ";
    if (ns_->sh("sysctl -n net.ipv4.conf.all.rp_filter").output != "1\n") t += "rp_filter ";
    return t;
  }
  std::unique_ptr<systest::Netns> ns_;
};

TEST_F(Tamseld, StopsOnlyWithoutClientAndLeavesNothing) {
  systest::TempDir run("tamseld-run");
  auto d = start(run);
  ASSERT_TRUE(up(run)) << d.log();
  // The chains are there; nothing jumps to them before a client turns the master switch on.
  EXPECT_NE(ns_->sh("iptables-save -t mangle").output.find(":TAMSEL_OUT"), std::string::npos);
  EXPECT_EQ(ns_->sh("iptables-save -t mangle").output.find("-A OUTPUT -j TAMSEL_OUT"),
            std::string::npos);
  EXPECT_EQ(ns_->sh("sysctl -n net.ipv4.conf.all.rp_filter").output, "2\n");
  EXPECT_NE(admin(run.path(), "stats").find("\"attached\":0"), std::string::npos);

  {
    platform::kctl::Client client;
    ASSERT_EQ(client.connect(wire::socket_path(run.path(), tamsel::abi::kControlName)), 0);
    ASSERT_TRUE(systest::waitFor(
        [&] { return admin(run.path(), "stats").find("\"attached\":1") != std::string::npos; },
        5s));
    // Attached: neither the admin stop nor SIGTERM ends it.
    EXPECT_EQ(admin(run.path(), "stop"), "EBUSY");
    d.signal(SIGTERM);
    EXPECT_NE(admin(run.path(), "stats").find("\"attached\":1"), std::string::npos);
    EXPECT_TRUE(d.running());
    EXPECT_EQ(admin(run.path(), "nonsense"), "EINVAL");
  }
  ASSERT_TRUE(systest::waitFor(
      [&] { return admin(run.path(), "stats").find("\"attached\":0") != std::string::npos; }, 5s));
  EXPECT_EQ(admin(run.path(), "stop"), "0");
  EXPECT_EQ(d.wait(10s), std::optional<int>(0)) << d.log();
  EXPECT_TRUE(fs::is_empty(run.path()));
  EXPECT_EQ(traces(), "");

  // SIGTERM stops it just as well.
  auto again = start(run);
  ASSERT_TRUE(up(run)) << again.log();
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait(10s), std::optional<int>(0)) << again.log();
  EXPECT_TRUE(fs::is_empty(run.path()));
  EXPECT_EQ(traces(), "");
}

// A client that finds the control finds the filter at work: chains, queues and device are there.
TEST_F(Tamseld, ControlAppearsOnlyOnceTheFilterRuns) {
  systest::TempDir run("tamseld-run");
  auto d = start(run);
  const auto control = wire::socket_path(run.path(), tamsel::abi::kControlName);
  ASSERT_TRUE(systest::waitFor([&] { return fs::exists(control); }, 10s)) << d.log();
  EXPECT_NE(ns_->sh("iptables-save -t raw").output.find(":TAMSEL_IN"), std::string::npos);
  EXPECT_NE(ns_->sh("cat /proc/net/netfilter/nfnetlink_queue").output.find(" 3550 "),
            std::string::npos);
  EXPECT_TRUE(ns_->ok("ip link show tamsel0"));
  EXPECT_EQ(admin(run.path(), "stop"), "0");
  EXPECT_EQ(d.wait(10s), std::optional<int>(0)) << d.log();
}

TEST_F(Tamseld, FailedStartExitsNonZeroAndSparesTheRunningOne) {
  systest::TempDir run("tamseld-run");
  auto first = start(run);
  ASSERT_TRUE(up(run)) << first.log();
  // In the same run folder: refused before touching anything.
  auto same = start(run);
  auto rc = same.wait(10s);
  ASSERT_TRUE(rc.has_value());
  EXPECT_NE(*rc, 0);
  EXPECT_NE(same.log().find("already running"), std::string::npos) << same.log();
  EXPECT_NE(admin(run.path(), "stats").find("\"attached\":0"), std::string::npos);
  // In another run folder: the device and the queues are taken, so the start fails; its control
  // never showed under its name, so no client could have taken it for a working filter.
  systest::TempDir other("tamseld-run");
  int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, other.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
  auto second = start(other);
  rc = second.wait(10s);
  ASSERT_TRUE(rc.has_value());
  EXPECT_NE(*rc, 0);
  EXPECT_NE(second.log().find("start failed"), std::string::npos) << second.log();
  EXPECT_TRUE(fs::is_empty(other.path()));
  const std::string control =
      fs::path(wire::socket_path(other.path(), tamsel::abi::kControlName)).filename();
  std::vector<std::string> appeared;
  alignas(inotify_event) char events[4096];
  ssize_t n;
  while ((n = ::read(watch, events, sizeof events)) > 0) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      auto* e = reinterpret_cast<inotify_event*>(events + at);
      if (e->len) appeared.emplace_back(e->name);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  ::close(watch);
  EXPECT_FALSE(appeared.empty());  // its private names did
  EXPECT_EQ(std::count(appeared.begin(), appeared.end(), control), 0);
  // The first one still filters and stops cleanly.
  EXPECT_NE(ns_->sh("iptables-save -t mangle").output.find(":TAMSEL_OUT"), std::string::npos);
  EXPECT_EQ(admin(run.path(), "stop"), "0");
  EXPECT_EQ(first.wait(10s), std::optional<int>(0)) << first.log();
  EXPECT_EQ(traces(), "");
}

// Killed outright, it leaves its chains; traffic still flows (the queues are bypassed when no
// one listens) and the next start replaces them.
TEST_F(Tamseld, AfterAKillTrafficFlowsAndTheNextStartCleansUp) {
  systest::TempDir run("tamseld-run");
  auto d = start(run);
  ASSERT_TRUE(up(run)) << d.log();
  d.signal(SIGKILL);
  d.wait(10s);
  EXPECT_NE(ns_->sh("iptables-save -t mangle").output.find("TAMSEL_OUT"), std::string::npos);
  ASSERT_TRUE(
      ns_->ok("ip link add k0 type veth peer name k1 && ip link set k0 up && "
              "ip link set k1 up && ip addr add 192.0.2.1/24 dev k0"));
  {
    // A UDP datagram between two sockets of the namespace passes the output chain's queue rule.
    systest::Netns::Enter inside(*ns_);
    ASSERT_TRUE(inside.entered());
    int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9500);
    ::inet_pton(AF_INET, "192.0.2.1", &a.sin_addr);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{5, 0};  // a safety net only: the datagram is there at once or never
    ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(::sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 1);
    char c = 0;
    EXPECT_EQ(::recv(rx, &c, 1, 0), 1);
    ::close(rx);
    ::close(tx);
  }
  // The killed daemon's stale sockets and its note of the reverse-path setting stay for the next
  // start; its pid file goes, so that the next one's shows it running.
  fs::remove(run.path() / "tamseld.pid");
  auto next = start(run);
  ASSERT_TRUE(up(run)) << next.log();
  auto saved = ns_->sh("iptables-save -t mangle").output;
  EXPECT_EQ(saved.find(":TAMSEL_OUT"), saved.rfind(":TAMSEL_OUT"));
  EXPECT_EQ(admin(run.path(), "stop"), "0");
  EXPECT_EQ(next.wait(10s), std::optional<int>(0)) << next.log();
  // Everything restored, the reverse-path setting the killed one changed too.
  EXPECT_EQ(traces(), "");
  EXPECT_TRUE(fs::is_empty(run.path()));
}

}  // namespace
