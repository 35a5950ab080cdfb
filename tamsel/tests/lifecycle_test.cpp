// Start, stop and reset of the filter on the simulated kernel.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::use_virtual_time(true);
  }
  void TearDown() override {
    if (unit_) sim::ctl_disconnect(unit_);
    if (started_) {
      EXPECT_EQ(tamsel_stop(), 0);
    }
    EXPECT_TRUE(sim::lock_violations().empty());
    EXPECT_EQ(sim::live_mutexes(), 0);
    sim::reset();
  }
  bool HasLog(const std::string& needle) {
    for (auto& l : sim::log_lines())
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  void StartAndConfigure() {
    ASSERT_EQ(tamsel_start(), 0);
    started_ = true;
    ASSERT_EQ(sim::ctl_connect(&unit_), 0);
    white_rule_config c{};
    std::strcpy(c.rule, "tslgame|*|*|*");
    ASSERT_EQ(sim::ctl_setopt(unit_, KCTL_ADD_WHITE_RULE, &c, sizeof c), 0);
    for (int opt :
         {KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_ICMP,
          KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_REDUCE_TCP_MSS, KCTL_ENABLE_INTERCEPT})
      ASSERT_EQ(sim::ctl_setopt(unit_, opt, nullptr, 0), 0);
  }
  void Disconnect() {
    sim::ctl_disconnect(unit_);
    unit_ = 0;
  }
  uint32_t unit_ = 0;
  bool started_ = false;
};

struct StartFault {
  const char* what;
  void (*arm)(bool on);
  const char* line;
};

TEST_F(LifecycleTest, FailureAtEachStepUndoesEarlierOnes) {
  const StartFault faults[] = {
      {"control", [](bool on) { sim::fail_ctl_register(on); },
       "cn.pelmoor.tamsel ctl_register error"},
      {"locks", [](bool on) { sim::fail_alloc_at(on ? 0 : -1); }, "lck_mtx_alloc error"},
      {"tcp", [](bool on) { sim::fail_sflt_register(0x35500601, on); }, "sflt_register tcp  error"},
      {"udp", [](bool on) { sim::fail_sflt_register(0x35500602, on); }, "sflt_register udp error"},
      {"udp icmp", [](bool on) { sim::fail_sflt_register(0x35500603, on); },
       "sflt_register udp_icmp error"},
      {"raw icmp", [](bool on) { sim::fail_sflt_register(0x35500604, on); },
       "sflt_register raw_icmp error"},
      {"ipv4", [](bool on) { sim::fail_ipf_add(on); }, "ipf_addr4 error"},
  };
  for (const auto& f : faults) {
    sim::clear_log();
    f.arm(true);
    EXPECT_NE(tamsel_start(), 0) << f.what;
    f.arm(false);
    EXPECT_TRUE(HasLog(f.line)) << f.what;
    EXPECT_FALSE(sim::ctl_registered()) << f.what;
    EXPECT_TRUE(sim::registered_filters().empty()) << f.what;
    EXPECT_FALSE(sim::ipf_registered()) << f.what;
    EXPECT_EQ(sim::live_mutexes(), 0) << f.what;
    // A clean start works afterwards.
    ASSERT_EQ(tamsel_start(), 0) << f.what;
    EXPECT_TRUE(HasLog("Kext Was Born on:"));
    EXPECT_EQ(sim::registered_filters().size(), 4u);
    EXPECT_TRUE(sim::ipf_registered());
    ASSERT_EQ(tamsel_stop(), 0);
    EXPECT_FALSE(sim::ctl_registered());
    EXPECT_TRUE(sim::registered_filters().empty());
  }
}

TEST_F(LifecycleTest, StopWhileAttachedChangesNothing) {
  StartAndConfigure();
  auto before = tamsel_stats();
  EXPECT_EQ(tamsel_stop(), EBUSY);
  auto after = tamsel_stats();
  EXPECT_TRUE(sim::ctl_registered());
  EXPECT_EQ(sim::registered_filters().size(), 4u);
  EXPECT_EQ(after.intercept, 1);
  EXPECT_EQ(after.white_rules, before.white_rules);
  // Still working: a new option is taken.
  EXPECT_EQ(sim::ctl_setopt(unit_, KCTL_DISABLE_INTERCEPT, nullptr, 0), 0);
  Disconnect();
  EXPECT_EQ(tamsel_stop(), 0);
  started_ = false;
}

TEST_F(LifecycleTest, DisconnectResetsButKeepsKeptValues) {
  StartAndConfigure();
  int32_t v = 9;
  ASSERT_EQ(sim::ctl_setopt(unit_, KCTL_SET_VNI_BASE, &v, 4), 0);
  uint32_t ip = 0x0100000b;
  ASSERT_EQ(sim::ctl_setopt(unit_, KCTL_SET_CLIENT_IP, &ip, 4), 0);
  ASSERT_EQ(sim::ctl_setopt(unit_, KCTL_SET_EDNS_SERVER, &ip, 4), 0);
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_EQ(sim::attached_filters(s).size(), 1u);
  EXPECT_EQ(tamsel_stats().global_socket_id, 1);
  Disconnect();
  auto st = tamsel_stats();
  for (int32_t sw : {st.intercept, st.intercept_tcp, st.intercept_udp, st.intercept_icmp,
                     st.intercept_dns, st.reduce_tcp_mss})
    EXPECT_EQ(sw, 0);
  EXPECT_EQ(st.global_socket_id, 0);
  EXPECT_EQ(st.white_rules + st.black_rules + st.enabled_procnames + st.black_procnames, 0u);
  EXPECT_EQ(st.undetached_sockets, 0u);
  EXPECT_EQ(st.server_sockets, 0u);
  EXPECT_EQ(st.attached, 0);
  EXPECT_EQ(st.vni, 9);
  EXPECT_EQ(st.client_ip, ip);
  EXPECT_EQ(st.edns_servers, 1);
  EXPECT_TRUE(sim::attached_filters(s).empty());
  sim::socket_close(s);
}

TEST_F(LifecycleTest, UnlistedOrSwitchedOffSocketsNeverAttached) {
  StartAndConfigure();
  auto* other = sim::socket_create("tslother", SOCK_STREAM, IPPROTO_TCP);
  EXPECT_TRUE(sim::attached_filters(other).empty());
  ASSERT_EQ(sim::ctl_setopt(unit_, KCTL_DISABLE_INTERCEPT, nullptr, 0), 0);
  auto* off = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  EXPECT_TRUE(sim::attached_filters(off).empty());
  sim::socket_close(other);
  sim::socket_close(off);
}

// Disconnect returns only after every filter has left its socket, whether the system runs the
// detach callbacks at once or later.
TEST_F(LifecycleTest, DisconnectWaitsForEveryDetach) {
  for (bool deferred : {false, true}) {
    SCOPED_TRACE(deferred ? "deferred" : "synchronous");
    StartAndConfigure();
    sim::set_deferred_detach(deferred);
    std::vector<sim::Socket*> socks;
    for (auto [type, proto] : {std::pair{SOCK_STREAM, IPPROTO_TCP},
                               {SOCK_DGRAM, IPPROTO_UDP},
                               {SOCK_DGRAM, IPPROTO_ICMP},
                               {SOCK_RAW, IPPROTO_ICMP}})
      for (int i = 0; i < 3; ++i) socks.push_back(sim::socket_create("tslgame", type, proto));
    for (auto* s : socks) ASSERT_EQ(sim::attached_filters(s).size(), 1u);
    EXPECT_EQ(tamsel_stats().undetached_sockets, socks.size());
    Disconnect();
    for (auto* s : socks) EXPECT_TRUE(sim::attached_filters(s).empty());
    EXPECT_EQ(tamsel_stats().undetached_sockets, 0u);
    for (auto* s : socks) sim::socket_close(s);
    sim::set_deferred_detach(false);
    ASSERT_EQ(tamsel_stop(), 0);
    started_ = false;
  }
}

TEST_F(LifecycleTest, StopDetachesFromOpenSocketsBeforeFreeingLocks) {
  StartAndConfigure();
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_EQ(sim::attached_filters(s).size(), 1u);
  Disconnect();
  auto* late = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);  // switches are off now
  EXPECT_TRUE(sim::attached_filters(late).empty());
  ASSERT_EQ(tamsel_stop(), 0);
  started_ = false;
  EXPECT_EQ(sim::live_mutexes(), 0);
  sim::socket_close(s);
  sim::socket_close(late);
}

// Sockets come and go on several threads while clients connect, configure and leave, with the
// detach callbacks run on a thread of the simulation.
TEST_F(LifecycleTest, ThreadsStress) {
  ASSERT_EQ(tamsel_start(), 0);
  started_ = true;
  sim::set_deferred_detach(true);
  sim::set_threads_mode(true);
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      const int types[][2] = {{SOCK_STREAM, IPPROTO_TCP},
                              {SOCK_DGRAM, IPPROTO_UDP},
                              {SOCK_DGRAM, IPPROTO_ICMP},
                              {SOCK_RAW, IPPROTO_ICMP}};
      while (!stop.load()) {
        auto* s = sim::socket_create(t % 2 ? "tslgame" : "tslother", types[t][0], types[t][1]);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0xc6336401);
        to.sin_port = htons(9000);
        if (types[t][0] != SOCK_RAW) sim::socket_connect(s, to);
        sim::socket_send(s, nullptr, {1, 2, 3});
        sim::socket_close(s);
      }
    });
  }
  for (int round = 0; round < 200; ++round) {
    uint32_t unit = 0;
    ASSERT_EQ(sim::ctl_connect(&unit), 0);
    white_rule_config c{};
    std::strcpy(c.rule, "tslgame|*|*|*");
    sim::ctl_setopt(unit, KCTL_ADD_WHITE_RULE, &c, sizeof c);
    for (int opt : {KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP,
                    KCTL_ENABLE_INTERCEPT_ICMP, KCTL_ENABLE_INTERCEPT})
      sim::ctl_setopt(unit, opt, nullptr, 0);
    std::this_thread::yield();
    sim::ctl_disconnect(unit);
  }
  stop = true;
  for (auto& w : workers) w.join();
  sim::set_threads_mode(false);
  sim::run_deferred();
  EXPECT_EQ(tamsel_stats().undetached_sockets, 0u);
  EXPECT_EQ(tamsel_stop(), 0);
  started_ = false;
}

}  // namespace
}  // namespace tamsel::testing
