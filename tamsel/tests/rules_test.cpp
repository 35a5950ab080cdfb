// Rule language, list orders, matchers and DNS rules.
#include "../src/rules.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

class RulesTest : public SimFilter {
 protected:
  void SetUp() override {
    SimFilter::SetUp();
    Attach();
  }
  int Black(const std::string& text) {
    return SetOpt(abi::KCTL_ADD_BLACK_RULE, text.data(), text.size());
  }
};

uint32_t ip(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

abi::ippacket_desc_s desc(const char* proc, const char* addr, uint16_t port, uint16_t proto) {
  abi::ippacket_desc_s d{};
  if (proc) std::strcpy(d.procname, proc);
  d.ip = ip(addr);
  d.remote_port = htons(port);
  d.local_port = htons(40000);
  d.protocol = proto;
  return d;
}

struct ParseCase {
  const char* text;
  int result;
  // Expected entry when result is 0 and an address rule comes out.
  const char* proc;
  uint8_t from[4], to[4];
  uint8_t octets;
  uint16_t pfrom, pto, proto;
};

TEST_F(RulesTest, ParseTable) {
  const ParseCase cases[] = {
      {"*|*|*|*", 0, "*", {0, 0, 0, 0}, {255, 255, 255, 255}, 4, 0, 65535, 65535},
      {"game|10.1.*|*|udp", 0, "game", {10, 1, 0, 0}, {10, 1, 0, 0}, 2, 0, 65535, 17},
      {"game|10.0.0.1-10.0.0.9|8000-8010|TCP",
       0,
       "game",
       {10, 0, 0, 1},
       {10, 0, 0, 9},
       4,
       8000,
       8010,
       6},
      {"game|010.1.2.3|80|tcp", 0, "game", {8, 1, 2, 3}, {8, 1, 2, 3}, 4, 80, 80, 6},
      {"||game|1.2.3.4|80|tcp", 0, "game", {1, 2, 3, 4}, {1, 2, 3, 4}, 4, 80, 80, 6},
      {"game|1.2.3.5|80|tcp|fifth", 0, "game", {1, 2, 3, 5}, {1, 2, 3, 5}, 4, 80, 80, 6},
      {"game|*.7|53|Udp", 0, "game", {0, 0, 0, 0}, {0, 0, 0, 0}, 0, 53, 53, 17},
      {"game|1..2.3.4|1|IcMp", 0, "game", {1, 2, 3, 4}, {1, 2, 3, 4}, 4, 1, 1, 1},
      {"game|1.2.3.4-9|80|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.*-1.2.3.4|80|tcp", 0, "game", {1, 2, 0, 0}, {1, 2, 0, 0}, 2, 80, 80, 6},
      {"game|10.1|80|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|90-80|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|80|sctp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|8x|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|70000|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|80-|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4|80", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.4", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1.2.3.08|80|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"game|1234567890123456|80|tcp", EINVAL, nullptr, {}, {}, 0, 0, 0, 0},
      {"abcdefghijklmnopqrstuvwx|1.2.3.4|80|tcp", E2BIG, nullptr, {}, {}, 0, 0, 0, 0},
      {"|||", E2BIG, nullptr, {}, {}, 0, 0, 0, 0},
      {"abcdefghijklmnopqrstuvw|1.2.3.4|80|tcp",
       0,
       "abcdefghijklmnopqrstuvw",
       {1, 2, 3, 4},
       {1, 2, 3, 4},
       4,
       80,
       80,
       6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto before = black_rules_snapshot().size();
    ASSERT_EQ(Black(c.text), c.result);
    auto rules = black_rules_snapshot();
    if (c.result != 0) {
      EXPECT_EQ(rules.size(), before);
      continue;
    }
    ASSERT_EQ(rules.size(), before + 1);
    const rule_entry& r = rules.front();
    EXPECT_STREQ(r.procname, c.proc);
    EXPECT_EQ(0, std::memcmp(r.from, c.from, 4));
    EXPECT_EQ(0, std::memcmp(r.to, c.to, 4));
    EXPECT_EQ(r.octets, c.octets);
    EXPECT_EQ(r.port_from, c.pfrom);
    EXPECT_EQ(r.port_to, c.pto);
    EXPECT_EQ(r.protocol, c.proto);
    EXPECT_EQ(r.offset, 0);
    EXPECT_EQ(r.level, 0);
  }
  EXPECT_TRUE(HasLog("+ Procname (abcdefghijklmnopqrstuvwx) too long"));
}

TEST_F(RulesTest, WhiteOrderDuplicatesAndLog) {
  ASSERT_EQ(AddWhite("a|1.1.1.1|1|tcp", 3, 0), 0);
  ASSERT_EQ(AddWhite("b|1.1.1.1|1|tcp", 1, 0), 0);
  ASSERT_EQ(AddWhite("c|1.1.1.1|1|tcp", 3, 0), 0);
  sim::clear_log();
  ASSERT_EQ(AddWhite("c|1.1.1.1|1|tcp", 3, 0), 0);  // duplicate: nothing, no line
  EXPECT_TRUE(sim::log_lines().empty());
  ASSERT_EQ(AddWhite("c|1.1.1.1|1|tcp", 3, 300), 0);  // another level: a new entry, level 44
  auto w = white_rules_snapshot();
  ASSERT_EQ(w.size(), 4u);
  EXPECT_STREQ(w[0].procname, "b");
  EXPECT_STREQ(w[1].procname, "c");
  EXPECT_EQ(w[1].level, 300 & 0xff);
  EXPECT_STREQ(w[2].procname, "c");
  EXPECT_STREQ(w[3].procname, "a");
  EXPECT_TRUE(
      HasLog("cn.pelmoor.tamsel W+ [3/44] [c] [1.1.1.1-1.1.1.1 4] [1-1] TCP {c|1.1.1.1|1|tcp}"));
  ASSERT_EQ(Black("x|2.0.0.0-2.0.0.9|*|*"), 0);
  ASSERT_EQ(Black("x|2.0.0.0-2.0.0.9|*|*"), 0);
  ASSERT_EQ(Black("y|3.*|*|*"), 0);
  EXPECT_EQ(black_rules_snapshot().size(), 2u);
  EXPECT_TRUE(HasLog("B+ [y] [3.0.0.0 - 3.0.0.0  1] [0 - 65535] ALL {y|3.*|*|*}  index=1"));
  auto names = enabled_procnames_snapshot();
  EXPECT_EQ(names, (std::vector<std::string>{"c", "b", "a"}));
}

TEST_F(RulesTest, WhiteMatching) {
  ASSERT_EQ(AddWhite("game|10.1.*|*|udp", 2, 5), 0);
  ASSERT_EQ(AddWhite("game|10.0.5.0-10.1.0.255|1000-2000|tcp", 4, 1), 0);
  ASSERT_EQ(AddWhite("*|9.9.9.9|53|udp", 6, 0), 0);
  struct Case {
    const char* proc;
    const char* addr;
    uint16_t port, proto;
    int match;
    uint8_t offset;
  } cases[] = {
      {"game", "10.1.7.9", 9, 17, 1, 2},
      {"GAME", "10.1.7.9", 9, 17, 1, 2},
      {"game", "10.2.0.1", 9, 17, 0, 0},
      {"game", "10.1.7.9", 9, 6, 0, 0},
      {"game", "10.0.5.0", 1000, 6, 1, 4},
      {"game", "10.1.0.255", 2000, 6, 1, 4},
      {"game", "10.0.2.1", 1500, 6, 0, 0},  // outside the range, though octet 2 lies in 0..1
      {"game", "10.1.1.0", 1500, 6, 0, 0},
      {"game", "10.0.9.9", 2001, 6, 0, 0},
      {"other", "10.1.7.9", 9, 17, 0, 0},
      {nullptr, "10.1.7.9", 9, 17, 0, 0},  // no process: only "*" rules
      {nullptr, "9.9.9.9", 53, 17, 1, 6},
      {"any", "9.9.9.9", 53, 17, 1, 6},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.proc ? c.proc : "-") + " " + c.addr);
    auto d = desc(c.proc, c.addr, c.port, c.proto);
    uint8_t offset = 99, level = 99;
    char text[64] = "";
    EXPECT_EQ(intercept_ippacket_match_white_list(&d, &offset, &level, text), c.match);
    if (c.match) {
      EXPECT_EQ(offset, c.offset);
    }
  }
}

TEST_F(RulesTest, BlackMatching) {
  ASSERT_EQ(Black("game|10.0.5.0-10.1.0.255|*|*"), 0);
  ASSERT_EQ(Black("*|8.8.8.8|53|udp"), 0);
  ASSERT_EQ(Black("ping|7.7.7.7|1-2|icmp"), 0);
  struct Case {
    const char* proc;
    const char* addr;
    uint16_t port, proto;
    int match;
  } cases[] = {
      {"game", "10.0.2.1", 1, 6, 0},    {"game", "10.0.200.1", 1, 6, 1},
      {"Game", "10.1.0.3", 1, 17, 1},   {"other", "10.0.200.1", 1, 6, 0},
      {nullptr, "10.0.200.1", 1, 6, 1}, {"x", "8.8.8.8", 53, 17, 1},
      {"x", "8.8.8.8", 53, 6, 0},       {"ping", "7.7.7.7", 0, 1, 0},
      {"game", "10.0.200.1", 0, 1, 1},
  };
  for (auto& c : cases) {
    auto d = desc(c.proc, c.addr, c.port, c.proto);
    EXPECT_EQ(intercept_ippacket_match_black_list(&d), c.match)
        << (c.proc ? c.proc : "-") << " " << c.addr;
  }
}

TEST_F(RulesTest, ProcessNames) {
  ASSERT_EQ(AddWhite("TslGame|1.2.3.4|1|tcp"), 0);
  ASSERT_EQ(AddWhite("tslgame|1.2.3.5|1|tcp"), 0);  // covered: not added again
  EXPECT_EQ(enabled_procnames_snapshot().size(), 1u);
  EXPECT_TRUE(enabled_procname_exist("tslgame"));
  EXPECT_FALSE(enabled_procname_exist("tslgamex"));
  ASSERT_EQ(SetOpt(abi::KCTL_ADD_BLACK_PROCNAME, "TSLGAME"), 0);
  EXPECT_FALSE(enabled_procname_exist("tslgame"));
  // A process with a name of 24 characters or more only matches "*".
  std::string longname(24, 'q');
  ASSERT_EQ(AddWhite(std::string(23, 'q') + "|1.2.3.4|1|tcp"), 0);
  EXPECT_FALSE(enabled_procname_exist(longname.c_str()));
  ASSERT_EQ(AddWhite("*|1.2.3.4|1|tcp"), 0);
  EXPECT_TRUE(enabled_procname_exist(longname.c_str()));
  EXPECT_FALSE(enabled_procname_exist("tslgame"));  // black still wins
}

TEST_F(RulesTest, DomainRulesWaitForAnswers) {
  ASSERT_EQ(AddWhite("game|game.example.test|*|udp", 2, 1), 0);
  EXPECT_TRUE(white_rules_snapshot().empty());
  EXPECT_EQ(tamsel_stats().unanalyzed_domains, 1u);
  EXPECT_TRUE(
      HasLog("_W+ [2/1] [game] [game.example.test] [*|udp] {game|game.example.test|*|udp}"));
  std::string many = "game|";
  for (int i = 0; i < 17; ++i) many += "a.";
  many += "b|*|udp";
  EXPECT_EQ(AddWhite(many), E2BIG);
  // An address field over 63 characters is refused before any label is looked at.
  EXPECT_EQ(AddWhite("game|" + std::string(64, 'a') + ".test|*|udp"), EINVAL);
  EXPECT_EQ(Black("game|x.test|" + std::string(70, '1')), E2BIG);
  EXPECT_EQ(tamsel_stats().unanalyzed_domains, 1u);
}

TEST_F(RulesTest, DnsRulesAndLabelWalk) {
  auto dns = [&](const char* server, const std::string& domains) {
    abi::dns_rule_config c{};
    std::strcpy(c.server, server);
    std::strncpy(c.domains, domains.c_str(), sizeof c.domains - 1);
    return SetOpt(abi::KCTL_SET_DNS_RULE_FOR_SRV, &c, sizeof c);
  };
  EXPECT_EQ(dns("9.9.9.9", "  \t"), EINVAL);
  EXPECT_EQ(dns("9.9.9.9", "..."), EINVAL);
  EXPECT_EQ(dns("9.9.9.9", std::string(64, 'a') + ".test"), E2BIG);
  std::string deep;
  for (int i = 0; i < 17; ++i) deep += "a.";
  EXPECT_EQ(dns("9.9.9.9", deep), E2BIG);
  ASSERT_EQ(dns("9.9.9.9", " \t*.example.test ignored words"), 0);
  ASSERT_EQ(dns("8.8.4.4", "plain.test"), 0);
  EXPECT_TRUE(HasLog("+D [*.example.test]  [9.9.9.9]"));
  struct Case {
    const char* name;
    const char* server;  // nullptr: none
  } cases[] = {
      {"example.test", "9.9.9.9"},     {"a.example.test", "9.9.9.9"},
      {"b.a.example.test", "9.9.9.9"}, {"EXAMPLE.Test", "9.9.9.9"},
      {"other.test", nullptr},         {"plain.test", "8.8.4.4"},
      {"x.plain.test", nullptr},       {"test", nullptr},
  };
  for (auto& c : cases) {
    dns_labels l;
    ASSERT_EQ(split_labels(c.name, std::strlen(c.name), &l), 0);
    EXPECT_EQ(find_dns_lookup_using_server(l), c.server ? ip(c.server) : 0u) << c.name;
  }
}

TEST_F(RulesTest, AddressConversion) {
  struct Case {
    const char* part;
    int octets;
    uint8_t a[4];
  } cases[] = {
      {"1.2.3.4", 4, {1, 2, 3, 4}},
      {"0x0a.1.2.3", -1, {}},
      {"010.8.9.0", 4, {8, 8, 9, 0}},
      {"10.1.*", 2, {10, 1, 0, 0}},
      {"*.7", 0, {}},
      {"10.1", -1, {}},
      {"1.2.3.4.5", 4, {1, 2, 3, 4}},
      {"256.1.1.1", 4, {0, 1, 1, 1}},
      {"", -1, {}},
      {"1.2.3.-4", -1, {}},
      {"a.b.c", -1, {}},
  };
  for (auto& c : cases) {
    uint8_t out[4];
    int n = convert_address(c.part, out);
    EXPECT_EQ(n, c.octets) << c.part;
    if (n > 0) {
      EXPECT_EQ(0, std::memcmp(out, c.a, static_cast<size_t>(n))) << c.part;
    }
  }
}

}  // namespace
}  // namespace tamsel::testing
