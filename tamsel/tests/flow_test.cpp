// Flow selection on simulated sockets: which flows the filters admit, what they report, and
// which packets the IPv4 output filter takes.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "../src/tamsel_internal.h"
#include "packets.h"
#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

class FlowTest : public SimFilter {
 protected:
  void SetUp() override {
    SimFilter::SetUp();
    Attach();
    ASSERT_EQ(AddWhite("tslgame|*|*|*", 1, 2), 0);
    Switch({KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_ICMP,
            KCTL_ENABLE_INTERCEPT});
    sim::clear_records();
  }
  size_t Entries() { return tamsel_stats().intercept_entries; }
  bool Has(const std::string& needle) {
    auto t = TextRecords();
    return std::any_of(t.begin(), t.end(),
                       [&](auto& s) { return s.find(needle) != std::string::npos; });
  }
};

TEST_F(FlowTest, TcpToPrivateAddressDetachedAtConnect) {
  auto* s = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(sim::attached_filters(s).size(), 1u);
  sim::socket_connect(s, sin("192.168.1.1", 80));
  EXPECT_TRUE(sim::attached_filters(s).empty());
  EXPECT_EQ(Entries(), 0u);
  sim::socket_close(s);
  EXPECT_TRUE(TextRecords().empty());
}

TEST_F(FlowTest, TcpConnectOkAndClosedRecords) {
  auto* s = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_set_tcp_info(s, 40, 35);
  sim::socket_bind(s, 40001);
  sim::advance_us(1'050'000);
  sim::socket_connect(s, sin("198.51.100.7", 443), true);
  EXPECT_EQ(Entries(), 1u);
  sim::advance_us(1'050'000);
  sim::socket_send(s, nullptr, Bytes(100));
  sim::socket_receive(s, nullptr, Bytes(300));
  sim::socket_close(s);
  auto t = TextRecords();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0],
            "tslgame: TCP[0] 198.51.100.7:443 connect ok (elapsed 0.000000) (RTT: avg 40 last 35)");
  EXPECT_EQ(
      t[1],
      "tslgame: TCP[0] 198.51.100.7:443 closed (elapsed 1.050000)(send 100 recv 300)(RTT: avg "
      "40 last 35)");
  EXPECT_EQ(Entries(), 0u);  // the flow leaves with the socket
}

TEST_F(FlowTest, TcpConnectErrorAndRejectedFlow) {
  auto* s = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::advance_us(2'500'000);
  sim::socket_connect(s, sin("198.51.100.7", 443), false);
  sim::advance_us(500'001);
  sim::socket_close(s);
  EXPECT_EQ(TextRecords(),
            std::vector<std::string>{
                "tslgame: TCP[0] 198.51.100.7:443 connect error (elapsed 0.500001)"});
  // A black rule keeps a flow out: the TCP socket is then detached.
  ASSERT_EQ(SetOpt(KCTL_ADD_BLACK_RULE, "*|203.0.113.9|*|tcp"), 0);
  auto* b = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_connect(b, sin("203.0.113.9", 80));
  EXPECT_TRUE(sim::attached_filters(b).empty());
  EXPECT_TRUE(HasLog("IP +reject [TCP 203.0.113.9:80"));
  sim::socket_close(b);
}

TEST_F(FlowTest, TcpProgressEveryThirtySeconds) {
  auto* s = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_connect(s, sin("198.51.100.7", 443));
  sim::clear_records();
  sim::advance_us(29'000'000);
  sim::socket_send(s, nullptr, Bytes(10));
  EXPECT_TRUE(TextRecords().empty());
  sim::advance_us(1'000'000);
  sim::socket_send(s, nullptr, Bytes(10));
  ASSERT_EQ(TextRecords().size(), 1u);
  EXPECT_TRUE(Has("tslgame: TCP[0] 198.51.100.7:443 (elapsed 30.000000)(send 20 recv 0)"));
  sim::advance_us(29'999'999);
  sim::socket_receive(s, nullptr, Bytes(10));
  EXPECT_EQ(TextRecords().size(), 1u);
  sim::socket_close(s);
}

TEST_F(FlowTest, UdpThreeServersThreeEntries) {
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  for (const char* a : {"198.51.100.1", "198.51.100.2", "198.51.100.3", "198.51.100.2"}) {
    auto to = sin(a, 7000);
    sim::socket_send(s, &to, Bytes(20));
  }
  EXPECT_EQ(Entries(), 3u);
  auto t = TextRecords();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], "tslgame: UDP[0] sendto 198.51.100.1:7000");
  EXPECT_EQ(t[2], "tslgame: UDP[0] sendto 198.51.100.3:7000");
  // DNS and private destinations are neither counted nor learnt.
  auto dns = sin("198.51.100.53", 53);
  sim::socket_send(s, &dns, Bytes(30));
  auto lan = sin("10.1.2.3", 7000);
  sim::socket_send(s, &lan, Bytes(30));
  EXPECT_EQ(Entries(), 3u);
  sim::advance_us(2'000'000);
  sim::socket_close(s);
  EXPECT_EQ(TextRecords().back(), "tslgame: UDP[0] closed (elapsed 2.000000)(send 80 recv 0)");
  EXPECT_EQ(Entries(), 0u);
}

TEST_F(FlowTest, ConnectedUdpAdmittedAtBound) {
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  sim::socket_connect(s, sin("198.51.100.9", 9000));
  EXPECT_EQ(Entries(), 1u);
  EXPECT_EQ(TextRecords(), std::vector<std::string>{"tslgame: UDP[0] sendto 198.51.100.9:9000"});
  auto* d = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  sim::socket_connect(d, sin("198.51.100.9", 53));  // DNS: detached at connect
  EXPECT_TRUE(sim::attached_filters(d).empty());
  sim::socket_close(s);
  sim::socket_close(d);
}

TEST_F(FlowTest, IcmpLearnsOnlyFirstDestination) {
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_ICMP);
  Bytes echo = {8, 0, 0, 0, 0x12, 0x34, 0, 1};
  auto a = sin("198.51.100.1", 0), b = sin("198.51.100.2", 0);
  sim::socket_send(s, &a, Bytes{8, 0, 0});  // too short to hold an identifier: ignored
  EXPECT_EQ(Entries(), 0u);
  sim::socket_send(s, &a, echo);
  sim::socket_send(s, &b, echo);
  EXPECT_EQ(Entries(), 1u);
  auto out = sim::ip_output(icmp_echo("10.0.0.2", "198.51.100.1", 8, 0x1234));
  EXPECT_EQ(out.verdict, sim::Verdict::kConsumed);
  out = sim::ip_output(icmp_echo("10.0.0.2", "198.51.100.2", 8, 0x1234));
  EXPECT_EQ(out.verdict, sim::Verdict::kContinued);
  sim::socket_close(s);
}

TEST_F(FlowTest, UnlistedAndBlackListedProcessesNeverAttached) {
  auto* other = sim::socket_create("tslother", SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_TRUE(sim::attached_filters(other).empty());
  ASSERT_EQ(SetOpt(KCTL_ADD_BLACK_PROCNAME, "tslgame"), 0);
  auto* black = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_TRUE(sim::attached_filters(black).empty());
  auto* l = sim::socket_create("tslother", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_close(other);
  sim::socket_close(black);
  sim::socket_close(l);
}

TEST_F(FlowTest, ListeningSocketDetached) {
  auto* s = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_listen(s);
  EXPECT_TRUE(sim::attached_filters(s).empty());
  sim::socket_close(s);
}

TEST_F(FlowTest, OutputFilterTakesOnlyAdmittedFlows) {
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  sim::socket_bind(s, 40000);
  auto to = sin("198.51.100.1", 7000);
  sim::socket_send(s, &to, Bytes(4));
  ASSERT_EQ(Entries(), 1u);
  Bytes admitted = udp("10.0.0.2", 40000, "198.51.100.1", 7000, Bytes(32, 1));
  EXPECT_EQ(sim::ip_output(admitted).verdict, sim::Verdict::kConsumed);
  // Another local port, another address, a switch off, the master off: untouched.
  EXPECT_EQ(sim::ip_output(udp("10.0.0.2", 40001, "198.51.100.1", 7000, {})).verdict,
            sim::Verdict::kContinued);
  EXPECT_EQ(sim::ip_output(udp("10.0.0.2", 40000, "198.51.100.4", 7000, {})).verdict,
            sim::Verdict::kContinued);
  // A connected TCP flow keeps going out unchanged while the TCP switch is off.
  auto* t = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_bind(t, 40002);
  sim::socket_connect(t, sin("198.51.100.1", 443));
  Bytes seg = tcp("10.0.0.2", 40002, "198.51.100.1", 443, kAck, {}, Bytes(10));
  EXPECT_EQ(sim::ip_output(seg).verdict, sim::Verdict::kConsumed);
  sim::ctl_disconnect(unit_);
  unit_ = 0;
  Attach();
  auto r = sim::ip_output(seg);
  EXPECT_EQ(r.verdict, sim::Verdict::kContinued);
  EXPECT_EQ(r.bytes, seg);
  sim::socket_close(s);
  sim::socket_close(t);
}

TEST_F(FlowTest, UnparsablePacketsPass) {
  const Bytes cases[] = {
      {},
      Bytes(19, 0x45),
      Bytes{0x46, 0, 0, 20, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 2, 198, 51, 100, 1},  // IHL past
      Bytes{0x44, 0, 0, 40, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 2, 198, 51, 100, 1, 0, 0},
      ipv4(addr("10.0.0.2"), addr("198.51.100.1"), 47, Bytes(8)),
      ipv4(addr("10.0.0.2"), addr("198.51.100.1"), 17, Bytes(2)),  // ports cut off
      icmp_echo("10.0.0.2", "198.51.100.1", 0, 0x1234),            // echo reply going out
  };
  for (const auto& p : cases) {
    auto r = sim::ip_output(p);
    EXPECT_EQ(r.verdict, sim::Verdict::kContinued);
    EXPECT_EQ(r.bytes, p);
  }
}

TEST_F(FlowTest, Udp53IsATargetOnlyWithTheDnsSwitch) {
  abi::dns_rule_config c{};
  std::strcpy(c.server, "192.0.2.53");
  std::strcpy(c.domains, "game.example.test");
  ASSERT_EQ(SetOpt(KCTL_SET_DNS_RULE_FOR_SRV, &c, sizeof c), 0);
  Bytes q = udp("10.0.0.2", 5353, "198.51.100.53", 53, dns_query(9, "game.example.test"));
  auto r = sim::ip_output(q);
  EXPECT_EQ(r.bytes, q);  // switch off: untouched
  Switch({KCTL_ENABLE_INTERCEPT_DNS});
  r = sim::ip_output(q);
  EXPECT_EQ(r.verdict, sim::Verdict::kContinued);
  EXPECT_NE(r.bytes, q);  // redirected
}

}  // namespace
}  // namespace tamsel::testing
