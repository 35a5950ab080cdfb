// DNS redirection and answer learning on the simulated kernel.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "../src/rules.h"
#include "../src/tamsel_internal.h"
#include "packets.h"
#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

constexpr char kAsked[] = "198.51.100.53";
constexpr char kResolver[] = "192.0.2.53";

class DnsTest : public SimFilter {
 protected:
  void SetUp() override {
    SimFilter::SetUp();
    Attach();
    Switch({KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT});
    ASSERT_EQ(DnsRule(kResolver, "*.example.test"), 0);
    ASSERT_EQ(DnsRule("192.0.2.54", "plain.test"), 0);
  }
  int DnsRule(const char* server, const char* domain) {
    dns_rule_config c{};
    std::strcpy(c.server, server);
    std::strcpy(c.domains, domain);
    return SetOpt(KCTL_SET_DNS_RULE_FOR_SRV, &c, sizeof c);
  }
  void Tunnel() {
    ASSERT_EQ(AddWhite(std::string("*|") + kResolver + "|53|udp", 2, 0), 0);
    vni_off_entry e{};
    e.offset = 2;
    std::strcpy(e.entrance_ip, "203.0.113.10");
    e.port = 4000;
    ASSERT_EQ(SetOpt(KCTL_SET_VNI_OFF_ENTRY, &e, sizeof e), 0);
  }
  Bytes Query(const std::string& name, uint16_t id = 0x4242, uint16_t qtype = 1,
              const char* to = kAsked) {
    return udp("10.0.0.2", 5353, to, 53, dns_query(id, name, qtype));
  }
  Bytes AnswerPacket(const Bytes& dns, const char* from = kResolver, uint16_t port = 5353) {
    return udp(from, 53, "10.0.0.2", port, dns);
  }
  static uint32_t Src(const Bytes& p) {
    uint32_t a;
    std::memcpy(&a, &p[12], 4);
    return a;
  }
  static uint32_t Dst(const Bytes& p) {
    uint32_t a;
    std::memcpy(&a, &p[16], 4);
    return a;
  }
};

TEST_F(DnsTest, RedirectedStraightToResolverWithValidChecksums) {
  struct Case {
    const char* name;
    uint16_t qtype;
    const char* to;  // expected destination
  } cases[] = {
      {"example.test", 1, kResolver},     {"a.example.test", 1, kResolver},
      {"b.a.example.test", 1, kResolver}, {"other.test", 1, kAsked},
      {"a.example.test", 28, kAsked},     {"plain.test", 1, "192.0.2.54"},
      {"x.plain.test", 1, kAsked},
  };
  for (auto& c : cases) {
    auto r = sim::ip_output(Query(c.name, 1, c.qtype));
    EXPECT_EQ(r.verdict, sim::Verdict::kContinued) << c.name;
    EXPECT_EQ(Dst(r.bytes), addr(c.to)) << c.name << " " << c.qtype;
    EXPECT_TRUE(checksums_valid(r.bytes)) << c.name;
  }
  // A local stub resolver is never redirected.
  Bytes stub = Query("a.example.test", 1, 1, "127.0.0.53");
  EXPECT_EQ(sim::ip_output(stub).bytes, stub);
}

TEST_F(DnsTest, AnswersGetTheAskedResolverBack) {
  struct Case {
    const char* what;
    uint8_t rcode;
    bool tc;
  } cases[] = {{"answer", 0, false}, {"NXDOMAIN", 3, false}, {"truncated", 0, true}};
  uint16_t id = 100;
  for (auto& c : cases) {
    sim::ip_output(Query("a.example.test", ++id));
    auto r = sim::ip_input(
        AnswerPacket(dns_answer(id, "a.example.test", {{1, "203.0.113.77"}}, c.rcode, c.tc)));
    EXPECT_EQ(r.verdict, sim::Verdict::kContinued);
    EXPECT_EQ(Src(r.bytes), addr(kAsked)) << c.what;
    EXPECT_TRUE(checksums_valid(r.bytes)) << c.what;
    EXPECT_TRUE(r.modified) << c.what;
  }
  EXPECT_EQ(tamsel_stats().dns_lookups, 0u);
  // The same id from another server, or to another port, is left alone.
  sim::ip_output(Query("a.example.test", 7));
  Bytes other = AnswerPacket(dns_answer(7, "a.example.test", {}), "192.0.2.99");
  EXPECT_EQ(sim::ip_input(other).bytes, other);
  Bytes port = AnswerPacket(dns_answer(7, "a.example.test", {}), kResolver, 5354);
  EXPECT_EQ(sim::ip_input(port).bytes, port);
  EXPECT_EQ(tamsel_stats().dns_lookups, 1u);
  // Remembered queries are bounded and expire.
  for (uint16_t i = 0; i < 1100; ++i) sim::ip_output(Query("a.example.test", i));
  EXPECT_EQ(tamsel_stats().dns_lookups, 1024u);
  sim::advance_us(31'000'000);
  sim::ip_output(Query("a.example.test", 5000));
  EXPECT_EQ(tamsel_stats().dns_lookups, 1u);
}

TEST_F(DnsTest, TunnelledWithClientSubnet) {
  Tunnel();
  uint32_t cip = addr("198.51.100.200");
  ASSERT_EQ(SetOpt(KCTL_SET_CLIENT_IP, &cip, 4), 0);
  uint32_t res = addr(kResolver);
  ASSERT_EQ(SetOpt(KCTL_SET_EDNS_SERVER, &res, 4), 0);
  sim::clear_records();
  Bytes q = Query("game.example.test");
  EXPECT_EQ(sim::ip_output(q).verdict, sim::Verdict::kConsumed);
  auto sends = sim::kernel_sends();
  ASSERT_EQ(sends.size(), 1u);
  Bytes inner(sends[0].bytes.begin() + 41, sends[0].bytes.end());
  ASSERT_EQ(inner.size(), q.size() + 23);
  EXPECT_TRUE(checksums_valid(inner));
  EXPECT_EQ(Dst(inner), res);
  EXPECT_EQ(get16(inner, 2), q.size() + 23);
  EXPECT_EQ(get16(inner, 24), q.size() - 20 + 23);  // UDP length
  EXPECT_EQ(get16(inner, 28 + 10), 1);              // additional records
  Bytes rec(inner.end() - 23, inner.end());
  Bytes want = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 12, 0, 8, 0, 8, 0, 1, 32, 0};
  want.insert(want.end(), reinterpret_cast<uint8_t*>(&cip), reinterpret_cast<uint8_t*>(&cip) + 4);
  EXPECT_EQ(rec, want);
  auto r3 = Records(K2U_IPPACKET);
  ASSERT_EQ(r3.size(), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r3[0].data() + 14), "DNS");
  // A query that already has an additional record travels unchanged in size.
  Bytes with_opt = dns_query(9, "game.example.test");
  put16(with_opt, 10, 1);
  with_opt.insert(with_opt.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0});
  sim::clear_kernel_sends();
  sim::ip_output(udp("10.0.0.2", 5353, kAsked, 53, with_opt));
  ASSERT_EQ(sim::kernel_sends().size(), 1u);
  EXPECT_EQ(sim::kernel_sends()[0].bytes.size(), 41 + 28 + with_opt.size());
}

TEST_F(DnsTest, PendingRulesLearnFromAnswers) {
  ASSERT_EQ(AddWhite("tslgame|game.example.test|*|udp", 3, 1), 0);
  ASSERT_EQ(AddWhite("tslgame|*.cdn.test|443|tcp", 4, 0), 0);
  auto answer = [&](const std::string& name, std::vector<Answer> a) {
    return sim::ip_input(AnswerPacket(dns_answer(1, name, a)));
  };
  answer("game.example.test", {{1, "203.0.113.1"}, {1, "203.0.113.2"}});
  auto w = white_rules_snapshot();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_STREQ(w[0].text, "tslgame|game.example.test|*|udp");
  EXPECT_EQ(w[0].offset, 3);
  EXPECT_EQ(w[0].protocol, 17);
  answer("game.example.test", {{1, "203.0.113.3"}});  // learnt once only
  EXPECT_EQ(white_rules_snapshot().size(), 2u);
  answer("a.cdn.test", {{1, "203.0.113.4"}});
  answer("b.cdn.test", {{1, "203.0.113.5"}});  // the wildcard stays
  EXPECT_EQ(white_rules_snapshot().size(), 4u);
  EXPECT_EQ(tamsel_stats().unanalyzed_domains, 1u);

  char name[64];
  domain_of_ip(addr("203.0.113.3"), name, sizeof name);
  EXPECT_STREQ(name, "game.example.test");  // learnt even without a pending rule
  // CNAME chains are followed; an uncompressed name ends the walk, keeping what came before.
  answer("chain.test",
         {{5, "alias.test"}, {1, "203.0.113.6"}, {1, "203.0.113.7", false}, {1, "203.0.113.8"}});
  domain_of_ip(addr("203.0.113.6"), name, sizeof name);
  EXPECT_STREQ(name, "chain.test");
  domain_of_ip(addr("203.0.113.8"), name, sizeof name);
  EXPECT_STREQ(name, "");
  // Error answers teach nothing.
  sim::ip_input(AnswerPacket(dns_answer(1, "err.test", {{1, "203.0.113.9"}}, 2)));
  domain_of_ip(addr("203.0.113.9"), name, sizeof name);
  EXPECT_STREQ(name, "");
}

TEST_F(DnsTest, LearntNameFillsRecords) {
  sim::ip_input(AnswerPacket(dns_answer(1, "srv.game.test", {{1, "198.51.100.1"}})));
  ASSERT_EQ(AddWhite("tslgame|*|*|*", 1, 0), 0);
  auto* s = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  sim::socket_bind(s, 40000);
  auto to = sin("198.51.100.1", 7000);
  sim::socket_send(s, &to, Bytes(4));
  sim::clear_records();
  sim::ip_output(udp("10.0.0.2", 40000, "198.51.100.1", 7000, Bytes(8)));
  auto r2 = Records(K2U_REQ_PATH);
  ASSERT_EQ(r2.size(), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r2[0].data() + 12), "srv.game.test");
  vni_off_entry e{};
  e.offset = 1;
  std::strcpy(e.entrance_ip, "203.0.113.10");
  e.port = 4000;
  ASSERT_EQ(SetOpt(KCTL_SET_VNI_OFF_ENTRY, &e, sizeof e), 0);
  sim::ip_output(udp("10.0.0.2", 40000, "198.51.100.1", 7000, Bytes(8)));
  auto r3 = Records(K2U_IPPACKET);
  ASSERT_EQ(r3.size(), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r3[0].data() + 104), "srv.game.test");
  sim::socket_close(s);
}

TEST_F(DnsTest, MalformedMessagesPassUntouched) {
  Bytes long_label = dns_query(1, "x.example.test");
  long_label[12] = 64;
  Bytes pointer = dns_query(1, "x.example.test");
  pointer[12] = 0xc0;
  Bytes runaway = dns_query(1, "x.example.test");
  runaway.resize(20);
  Bytes cases[] = {Query(""), udp("10.0.0.2", 5353, kAsked, 53, long_label),
                   udp("10.0.0.2", 5353, kAsked, 53, pointer),
                   udp("10.0.0.2", 5353, kAsked, 53, runaway),
                   udp("10.0.0.2", 5353, kAsked, 53, Bytes(14))};
  for (auto& q : cases) {
    EXPECT_EQ(sim::ip_output(q).bytes, q);
    EXPECT_EQ(sim::ip_input(AnswerPacket(Bytes(q.begin() + 28, q.end()))).verdict,
              sim::Verdict::kContinued);
  }
}

}  // namespace
}  // namespace tamsel::testing
