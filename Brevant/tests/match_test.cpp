// Rule matching: traffic rules against session records, DNS rules against names, the order
// in which rules are tried, and the rule texts (address ranges, ports) rules are built from.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "Brevant/Brevant.h"
#include "PacketBuilder.h"

using testpkt::ip;

namespace {

brevant::ip_session_info session(int proto, const char* dst, uint16_t port, std::string domain = "",
                                 uint16_t area = 0, uint16_t isp = 0) {
  brevant::ip_session_info s;
  s.parsed = true;
  s.protocol = static_cast<uint8_t>(proto);
  s.dst_ip = ip(dst);
  s.dst_port = htons(port);
  s.domain = std::move(domain);
  s.area_id = area;
  s.isp_id = isp;
  return s;
}

brevant::traffic_rule rule(int proto = brevant::kProtoAny, std::string domain = "",
                           const char* range = nullptr, uint16_t low = 0, uint16_t high = 65535,
                           std::vector<uint16_t> areas = {}, std::vector<uint16_t> isps = {}) {
  auto r = brevant::init_all_matched_traffic_rule();
  r.protocol = proto;
  r.domain = std::move(domain);
  if (range) {
    EXPECT_TRUE(brevant::set_ip_mask_range_with_str(r.range, range)) << range;
  }
  r.port_low = low;
  r.port_high = high;
  r.areas = std::move(areas);
  r.isps = std::move(isps);
  return r;
}

struct MatchCase {
  const char* name;
  brevant::traffic_rule rule;
  brevant::ip_session_info session;
  bool matches;
};

TEST(TrafficRule, MatchesSessions) {
  using brevant::kProtoAny;
  using brevant::kProtoICMP;
  using brevant::kProtoTCP;
  using brevant::kProtoUDP;
  brevant::ip_session_info unparsed = session(kProtoUDP, "1.2.3.4", 1);
  unparsed.parsed = false;
  const MatchCase cases[] = {
      {"all-matching rule, udp", rule(), session(kProtoUDP, "1.2.3.4", 27015), true},
      {"all-matching rule, icmp", rule(), session(kProtoICMP, "1.2.3.4", 0), true},
      {"unparsed packet matches nothing", rule(), unparsed, false},
      {"protocol equal", rule(kProtoTCP), session(kProtoTCP, "1.2.3.4", 80), true},
      {"protocol differs", rule(kProtoTCP), session(kProtoUDP, "1.2.3.4", 80), false},
      {"domain equal", rule(kProtoAny, "game.example"),
       session(kProtoUDP, "1.2.3.4", 1, "game.example"), true},
      {"sub-domain", rule(kProtoAny, "game.example"),
       session(kProtoUDP, "1.2.3.4", 1, "eu.login.game.example"), true},
      {"suffix that is not a label", rule(kProtoAny, "game.example"),
       session(kProtoUDP, "1.2.3.4", 1, "xgame.example"), false},
      {"domain case differs", rule(kProtoAny, "Game.EXAMPLE"),
       session(kProtoUDP, "1.2.3.4", 1, "LOGIN.game.example"), true},
      {"session name with final dot", rule(kProtoAny, "game.example"),
       session(kProtoUDP, "1.2.3.4", 1, "game.example."), true},
      {"domain rule, session without domain", rule(kProtoAny, "game.example"),
       session(kProtoUDP, "1.2.3.4", 1), false},
      {"star matches a named session", rule(kProtoAny, "*"),
       session(kProtoUDP, "1.2.3.4", 1, "any.example"), true},
      {"star matches an unnamed session", rule(kProtoAny, "*"), session(kProtoUDP, "1.2.3.4", 1),
       true},
      {"longer rule than name", rule(kProtoAny, "eu.game.example"),
       session(kProtoUDP, "1.2.3.4", 1, "game.example"), false},
      {"range low end", rule(kProtoAny, "", "10.0.0.0-10.0.0.255"),
       session(kProtoUDP, "10.0.0.0", 1), true},
      {"range high end", rule(kProtoAny, "", "10.0.0.0-10.0.0.255"),
       session(kProtoUDP, "10.0.0.255", 1), true},
      {"past the range", rule(kProtoAny, "", "10.0.0.0-10.0.0.255"),
       session(kProtoUDP, "10.0.1.0", 1), false},
      {"prefix range", rule(kProtoAny, "", "203.0.113.77/24"), session(kProtoUDP, "203.0.113.1", 1),
       true},
      {"single address", rule(kProtoAny, "", "203.0.113.10"), session(kProtoUDP, "203.0.113.11", 1),
       false},
      {"area listed", rule(kProtoAny, "", nullptr, 0, 65535, {3, 7}),
       session(kProtoUDP, "1.2.3.4", 1, "", 7), true},
      {"area not listed", rule(kProtoAny, "", nullptr, 0, 65535, {3, 7}),
       session(kProtoUDP, "1.2.3.4", 1, "", 8), false},
      {"isp listed", rule(kProtoAny, "", nullptr, 0, 65535, {}, {9}),
       session(kProtoUDP, "1.2.3.4", 1, "", 0, 9), true},
      {"isp not listed", rule(kProtoAny, "", nullptr, 0, 65535, {}, {9}),
       session(kProtoUDP, "1.2.3.4", 1, "", 0, 10), false},
      {"area and isp both needed", rule(kProtoAny, "", nullptr, 0, 65535, {3}, {9}),
       session(kProtoUDP, "1.2.3.4", 1, "", 3, 10), false},
      {"port in range", rule(kProtoUDP, "", nullptr, 27000, 27050),
       session(kProtoUDP, "1.2.3.4", 27050), true},
      {"port below range", rule(kProtoUDP, "", nullptr, 27000, 27050),
       session(kProtoUDP, "1.2.3.4", 26999), false},
      {"tcp port checked", rule(kProtoAny, "", nullptr, 443, 443),
       session(kProtoTCP, "1.2.3.4", 80), false},
      {"icmp ignores ports", rule(kProtoAny, "", nullptr, 443, 443),
       session(kProtoICMP, "1.2.3.4", 0), true},
      {"portless fragment misses a port rule", rule(kProtoUDP, "", nullptr, 27015, 27015),
       session(kProtoUDP, "1.2.3.4", 0), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(brevant::traffic_rule_matches(c.rule, c.session), c.matches);
  }
}

TEST(RuleSet, LastAddedRuleIsTriedFirstAndCopiedOut) {
  brevant::RuleSet rules;
  auto wide = rule();
  wide.rule_id = 1;
  auto narrow = rule(brevant::kProtoUDP, "game.example");
  narrow.rule_id = 2;
  narrow.traffic_id = 20;
  brevant::add_white_rule(rules, wide);
  brevant::add_white_rule(rules, narrow);

  brevant::traffic_rule got;
  ASSERT_TRUE(brevant::is_session_match_white_rule(
      rules, session(brevant::kProtoUDP, "1.2.3.4", 1, "game.example"), &got));
  EXPECT_EQ(got.rule_id, 2);
  EXPECT_EQ(got.traffic_id, 20);
  ASSERT_TRUE(brevant::is_session_match_white_rule(
      rules, session(brevant::kProtoTCP, "1.2.3.4", 1, "game.example"), &got));
  EXPECT_EQ(got.rule_id, 1);
  EXPECT_FALSE(brevant::is_session_match_black_rule(
      rules, session(brevant::kProtoTCP, "1.2.3.4", 1), nullptr));
}

// The index must give the rule the in-order walk gives, on rule sets that mix every kind the
// index sorts (domains, exact and ranged addresses, exact ports, the rest) and their edge
// forms ("*.", ".", trailing dots, case, inverted ranges, ICMP against port rules).
TEST(RuleSet, IndexAgreesWithWalkOnRandomRuleSets) {
  using namespace brevant;
  std::mt19937 rng(28);
  auto pick = [&](const auto& v) { return v[rng() % v.size()]; };
  const std::vector<std::string> rule_domains = {"",
                                                 "*",
                                                 "*.",
                                                 ".",
                                                 "game.example",
                                                 "Game.Example.",
                                                 "example",
                                                 "x.game.example",
                                                 ".example",
                                                 "other.test"};
  const std::vector<std::string> names = {
      "",           "game.example", "GAME.example.", "x.game.example", "xgame.example",
      "a..example", "example",      ".example",      "other.test",     "y.other.test"};
  const std::vector<uint32_t> hosts = {0x0A000001, 0x0A0000FF, 0x0A000100, 0xCB007105,
                                       0xCB0071FF, 0x00000000, 0xFFFFFFFF, 0x7F000001};
  const std::vector<uint16_t> ports = {0, 1, 53, 443, 27000, 27015, 65535};
  const std::vector<int> protos = {kProtoAny, kProtoTCP, kProtoUDP, kProtoICMP};

  auto random_rule = [&](int64_t id) {
    traffic_rule r = init_all_matched_traffic_rule();
    r.rule_id = id;
    if (rng() % 3 == 0) r.domain = pick(rule_domains);
    r.protocol = pick(protos);
    uint32_t h = pick(hosts);
    switch (rng() % 5) {
      case 0:
        break;  // any address
      case 1:
        r.range = {h, h};
        break;
      case 2: {
        int bits = static_cast<int>(rng() % 33);
        uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
        r.range = {h & mask, (h & mask) | ~mask};
        break;
      }
      case 3:
        r.range = {h, h + static_cast<uint32_t>(rng() % 700)};
        break;
      default:
        r.range = {h, h - 1};
        break;  // inverted when h > 0: matches nothing
    }
    switch (rng() % 4) {
      case 0:
        break;
      case 1:
        r.port_low = r.port_high = pick(ports);
        break;
      case 2:
        r.port_low = pick(ports);
        r.port_high = pick(ports);
        break;
      default:
        r.port_low = 27000;
        r.port_high = 27015;
        break;
    }
    if (rng() % 6 == 0) r.areas = {static_cast<uint16_t>(rng() % 3)};
    if (rng() % 8 == 0) r.isps = {static_cast<uint16_t>(rng() % 3)};
    return r;
  };
  auto random_session = [&] {
    ip_session_info s;
    s.parsed = rng() % 20 != 0;
    s.protocol = static_cast<uint8_t>(pick(std::vector<int>{kProtoTCP, kProtoUDP, kProtoICMP, 47}));
    s.dst_ip = pick(hosts) + static_cast<uint32_t>(rng() % 3) - 1;
    s.dst_port = htons(pick(ports));
    s.domain = pick(names);
    s.area_id = static_cast<uint16_t>(rng() % 3);
    s.isp_id = static_cast<uint16_t>(rng() % 3);
    return s;
  };

  size_t matched = 0;
  for (int set = 0; set < 200; ++set) {
    RuleSet rules;
    size_t count = 1 + rng() % (set % 10 == 0 ? 400 : 40);
    for (size_t i = 0; i < count; ++i) {
      add_white_rule(rules, random_rule(static_cast<int64_t>(i)));
      add_black_rule(rules, random_rule(static_cast<int64_t>(i)));
    }
    for (int n = 0; n < 300; ++n) {
      ip_session_info s = random_session();
      traffic_rule want, got;
      bool walk = first_match_walk(rules.white_rules(), s, &want);
      ASSERT_EQ(is_session_match_white_rule(rules, s, &got), walk) << "set " << set;
      if (walk) {
        ASSERT_EQ(got.rule_id, want.rule_id) << "set " << set;
        ++matched;
      }
      walk = first_match_walk(rules.black_rules(), s, &want);
      ASSERT_EQ(is_session_match_black_rule(rules, s, &got), walk) << "set " << set;
      if (walk) {
        ASSERT_EQ(got.rule_id, want.rule_id) << "set " << set;
      }
    }
  }
  // The table is only worth something when many sessions do match.
  EXPECT_GT(matched, 10000u);
}

TEST(RuleSet, IndexFollowsRulesAddedAfterMatching) {
  brevant::RuleSet rules;
  brevant::add_white_rule(rules, rule(brevant::kProtoUDP, "", "1.2.3.4"));
  auto s = session(brevant::kProtoUDP, "1.2.3.4", 9, "game.example");
  brevant::traffic_rule got;
  ASSERT_TRUE(brevant::is_session_match_white_rule(rules, s, &got));
  EXPECT_EQ(got.rule_id, 0);
  auto later = rule(brevant::kProtoAny, "game.example");
  later.rule_id = 7;
  brevant::add_white_rule(rules, later);
  ASSERT_TRUE(brevant::is_session_match_white_rule(rules, s, &got));
  EXPECT_EQ(got.rule_id, 7);
  brevant::RuleSet copy = rules;
  ASSERT_TRUE(brevant::is_session_match_white_rule(copy, s, &got));
  EXPECT_EQ(got.rule_id, 7);
}

TEST(RuleSet, DnsRulesMatchNames) {
  brevant::RuleSet rules;
  auto a = brevant::init_dns_rule("game.example", "8.8.4.4");
  auto b = brevant::init_dns_rule("*", " 1.1.1.1 ");
  ASSERT_TRUE(a && b);
  a->traffic_id = 5;
  brevant::add_dns_rule(rules, *b);
  brevant::add_dns_rule(rules, *a);
  EXPECT_FALSE(brevant::init_dns_rule("game.example", "dns.example"));
  EXPECT_FALSE(brevant::init_dns_rule("game.example", "1.2.3.256"));

  brevant::dns_rule got;
  ASSERT_TRUE(brevant::is_domain_match_dns_rule(rules, "Www.Game.Example", &got));
  EXPECT_EQ(got.traffic_id, 5);
  EXPECT_EQ(got.dns_server, ip("8.8.4.4"));
  ASSERT_TRUE(brevant::is_domain_match_dns_rule(rules, "other.example", &got));
  EXPECT_EQ(got.dns_server, ip("1.1.1.1"));
  EXPECT_FALSE(brevant::is_domain_match_dns_rule(rules, "", &got));

  brevant::RuleSet empty_domain;
  brevant::add_dns_rule(empty_domain, *brevant::init_dns_rule("", "1.1.1.1"));
  EXPECT_FALSE(brevant::is_domain_match_dns_rule(empty_domain, "game.example", nullptr));
}

TEST(RuleText, AddressRanges) {
  struct Case {
    const char* text;
    bool ok;
    const char* first;
    const char* last;
  };
  const Case cases[] = {
      {"192.0.2.1", true, "192.0.2.1", "192.0.2.1"},
      {" 192.0.2.1 ", true, "192.0.2.1", "192.0.2.1"},
      {"192.0.2.0-192.0.2.9", true, "192.0.2.0", "192.0.2.9"},
      {"192.0.2.9-192.0.2.9", true, "192.0.2.9", "192.0.2.9"},
      {"192.0.2.9-192.0.2.0", false, nullptr, nullptr},
      {"192.0.2.77/24", true, "192.0.2.0", "192.0.2.255"},
      {"192.0.2.77/32", true, "192.0.2.77", "192.0.2.77"},
      {"192.0.2.77/0", true, "0.0.0.0", "255.255.255.255"},
      {"192.0.2.77/33", false, nullptr, nullptr},
      {"192.0.2.77/", false, nullptr, nullptr},
      {"192.0.2.77/-1", false, nullptr, nullptr},
      {"192.0.2", false, nullptr, nullptr},
      {"192.0.2.1.5", false, nullptr, nullptr},
      {"192.0.2.256", false, nullptr, nullptr},
      {"1922.0.2.1", false, nullptr, nullptr},
      {"game.example", false, nullptr, nullptr},
      {"*", false, nullptr, nullptr},
      {"", false, nullptr, nullptr},
      {"-", false, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    brevant::ip_mask_range r{1, 2};
    EXPECT_EQ(brevant::set_ip_mask_range_with_str(r, c.text), c.ok);
    if (c.ok) {
      EXPECT_EQ(r.first, ip(c.first));
      EXPECT_EQ(r.last, ip(c.last));
    } else {
      EXPECT_EQ(r.first, 1u);
      EXPECT_EQ(r.last, 2u);
    }
  }
}

TEST(RuleText, Ports) {
  struct Case {
    const char* text;
    bool valid;
    uint16_t low, high;
  };
  const Case cases[] = {
      {"*", true, 0, 65535},
      {"", true, 0, 65535},
      {"0", true, 0, 65535},
      {"27015", true, 27015, 27015},
      {"4000-5000", true, 4000, 5000},
      {"5000-4000", true, 0, 65535},
      {"1-65535", true, 1, 65535},
      {"65536", false, 0, 65535},
      {"70000-80000", false, 0, 65535},
      {"0-100", false, 0, 65535},
      {"abc", false, 0, 65535},
      {"80-", false, 0, 65535},
      {"-80", false, 0, 65535},
      {"12x", false, 0, 65535},
      {"99999999999", false, 0, 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = rule(brevant::kProtoUDP, "", nullptr, 1, 2);
    EXPECT_EQ(brevant::set_port_range_with_str(r, c.text), c.valid);
    EXPECT_EQ(r.port_low, c.low);
    EXPECT_EQ(r.port_high, c.high);
  }
}

TEST(RuleText, ReadableStringsAreBounded) {
  auto r = rule(brevant::kProtoUDP, "game.example", "10.0.0.0/8", 27015, 27016, {1, 2}, {3});
  r.rule_id = 4;
  r.traffic_id = 9;
  EXPECT_EQ(brevant::traffic_rule_string(r),
            "id=4 traffic=9 proto=udp dst=game.example range=10.0.0.0-10.255.255.255 "
            "port=27015-27016 areas=1,2 isps=3");
  r.areas.assign(64, 65535);
  EXPECT_LE(brevant::traffic_rule_string(r).size(), 255u);
  auto d = brevant::init_dns_rule(std::string(300, 'a'), "9.9.9.9");
  ASSERT_TRUE(d);
  EXPECT_LE(brevant::dns_rule_string(*d).size(), 255u);
}

}  // namespace
