// The simulated kernel services themselves: lock-order checker, virtual clock, allocation
// failures, packet buffers, socket filters' callback order and deferred detach.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/kern/kern.h"
#include "platform/kern/sim.h"

namespace k = platform::kern;
namespace sim = platform::kern::sim;

namespace {

class KernSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::use_virtual_time(true);
  }
  void TearDown() override { sim::reset(); }
};

TEST_F(KernSimTest, LockOrderOnlyWhiteThenBlack) {
  k::lck_grp* g = k::lck_grp_alloc("g");
  k::lck_mtx* white = k::lck_mtx_alloc(g, "lock_mutext_white_rule_list");
  k::lck_mtx* black = k::lck_mtx_alloc(g, "lock_mutext_black_rule_list");
  k::lck_mtx* other = k::lck_mtx_alloc(g, "lock_mutext_dns_rule_list");
  k::lck_mtx_lock(white);
  k::lck_mtx_lock(black);
  k::lck_mtx_unlock(black);
  k::lck_mtx_unlock(white);
  EXPECT_TRUE(sim::lock_violations().empty());
  // Any other nesting is recorded (kept free of cycles, so that a thread checker stays quiet).
  k::lck_mtx_lock(black);
  k::lck_mtx_lock(other);
  k::lck_mtx_unlock(other);
  k::lck_mtx_unlock(black);
  k::lck_mtx_lock(white);
  k::lck_mtx_lock(other);
  k::lck_mtx_unlock(other);
  k::lck_mtx_unlock(white);
  auto v = sim::lock_violations();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], "lock_mutext_black_rule_list held while taking lock_mutext_dns_rule_list");
  EXPECT_EQ(v[1], "lock_mutext_white_rule_list held while taking lock_mutext_dns_rule_list");
  for (auto* m : {white, black, other}) k::lck_mtx_free(m, g);
  k::lck_grp_free(g);
  EXPECT_EQ(sim::live_mutexes(), 0);
}

TEST_F(KernSimTest, VirtualClockAndAllocationFailures) {
  sim::set_time(100, 999'999);
  timeval tv;
  k::microtime(&tv);
  EXPECT_EQ(tv.tv_sec, 100);
  sim::advance_us(2);
  k::microtime(&tv);
  EXPECT_EQ(tv.tv_sec, 101);
  EXPECT_EQ(tv.tv_usec, 1);
  k::delay_us(1'000'000);
  k::microtime(&tv);
  EXPECT_EQ(tv.tv_sec, 102);

  sim::fail_alloc_at(1);
  void* a = k::kalloc(8);
  void* b = k::kalloc(8);
  void* c = k::kalloc(8);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  k::kfree(a);
  k::kfree(c);
  k::mbuf_t m;
  sim::fail_alloc_at(0);
  EXPECT_EQ(k::mbuf_allocpacket(10, &m), ENOMEM);
  ASSERT_EQ(k::mbuf_allocpacket(10, &m), 0);
  EXPECT_EQ(k::mbuf_len(m), 10u);
  EXPECT_EQ(k::mbuf_setlen(m, k::mbuf_capacity(m) + 1), EINVAL);
  EXPECT_EQ(k::mbuf_setlen(m, 4), 0);
  EXPECT_FALSE(k::mbuf_modified(m));
  k::mbuf_set_modified(m);
  EXPECT_TRUE(k::mbuf_modified(m));
  k::mbuf_freem(m);
}

// A filter that records the callbacks it sees.
std::vector<std::string> g_calls;
k::socket_t g_detach_from = nullptr;

k::sflt_filter recording_filter(k::sflt_handle h) {
  k::sflt_filter f{};
  f.sf_handle = h;
  f.sf_name = "test";
  f.sf_unregistered = [](k::sflt_handle) { g_calls.push_back("unregistered"); };
  f.sf_attach = [](void** cookie, k::socket_t) -> k::errno_t {
    char name[32];
    k::proc_selfname(name, sizeof name);
    g_calls.push_back(std::string("attach ") + name);
    *cookie = nullptr;
    return std::string(name) == "declined" ? 103 : 0;
  };
  f.sf_detach = [](void*, k::socket_t) { g_calls.push_back("detach"); };
  f.sf_notify = [](void*, k::socket_t so, k::sflt_event e, void*) {
    g_calls.push_back("notify " + std::to_string(e));
    if (e == k::sock_evt_connected && so == g_detach_from) k::sflt_detach(so, 0x77);
  };
  f.sf_data_out = [](void*, k::socket_t, const sockaddr_in* to, k::mbuf_t*, int) -> k::errno_t {
    g_calls.push_back(to ? "data out to" : "data out");
    return 0;
  };
  f.sf_connect_out = [](void*, k::socket_t, const sockaddr_in*) -> k::errno_t {
    g_calls.push_back("connect out");
    return 0;
  };
  return f;
}

TEST_F(KernSimTest, CallbacksInASocketsOrder) {
  g_calls.clear();
  auto f = recording_filter(0x77);
  ASSERT_EQ(k::sflt_register(&f, PF_INET, SOCK_STREAM, IPPROTO_TCP), 0);
  EXPECT_EQ(k::sflt_register(&f, PF_INET, SOCK_STREAM, IPPROTO_TCP), EEXIST);
  auto* declined = sim::socket_create("declined", SOCK_STREAM, IPPROTO_TCP);
  EXPECT_TRUE(sim::attached_filters(declined).empty());
  auto* s = sim::socket_create("game", SOCK_STREAM, IPPROTO_TCP);
  g_detach_from = sim::handle(s);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  sim::socket_connect(s, to);
  // The detach asked inside "connected" runs once that callback returned.
  EXPECT_TRUE(sim::attached_filters(s).empty());
  sim::socket_close(s);
  sim::socket_close(declined);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"attach declined", "attach game", "connect out",
                                               "notify 1", "notify 2", "detach"}));
  g_calls.clear();
  auto* u = sim::socket_create("game", SOCK_STREAM, IPPROTO_TCP);
  sim::set_deferred_detach(true);
  EXPECT_EQ(k::sflt_detach(sim::handle(u), 0x77), 0);
  EXPECT_EQ(sim::attached_filters(u).size(), 1u);  // not yet
  k::delay_us(1000);                               // the system gets to it meanwhile
  EXPECT_TRUE(sim::attached_filters(u).empty());
  sim::set_deferred_detach(false);
  auto* v = sim::socket_create("game", SOCK_STREAM, IPPROTO_TCP);
  g_calls.clear();
  ASSERT_EQ(k::sflt_unregister(0x77), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"detach", "unregistered"}));
  sim::socket_close(u);
  sim::socket_close(v);
}

TEST_F(KernSimTest, KernelSocketsCaptureAndFail) {
  k::socket_t so;
  sim::fail_next_sock_socket(ENOBUFS);
  EXPECT_EQ(k::sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &so), ENOBUFS);
  ASSERT_EQ(k::sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &so), 0);
  size_t sent;
  EXPECT_EQ(k::sock_send(so, "x", 1, &sent), ENOTCONN);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(0xcb00710a);
  to.sin_port = htons(4000);
  ASSERT_EQ(k::sock_connect(so, &to, 0), 0);
  sim::fail_next_sock_send(EADDRNOTAVAIL);
  EXPECT_EQ(k::sock_send(so, "x", 1, &sent), EADDRNOTAVAIL);
  EXPECT_EQ(k::sock_send(so, "yz", 2, &sent), 0);
  ASSERT_EQ(sim::kernel_sends().size(), 1u);
  EXPECT_EQ(sim::kernel_sends()[0].bytes, (std::vector<uint8_t>{'y', 'z'}));
  k::mbuf_t m;
  EXPECT_EQ(k::sock_receivembuf(so, &m), EWOULDBLOCK);
  sim::deliver_datagram(to, {1, 2, 3});
  ASSERT_EQ(k::sock_receivembuf(so, &m), 0);
  EXPECT_EQ(k::mbuf_len(m), 3u);
  k::mbuf_freem(m);
  EXPECT_EQ(sim::open_kernel_sockets(), 1);
  k::sock_close(so);
  EXPECT_EQ(sim::open_kernel_sockets(), 0);
}

}  // namespace
