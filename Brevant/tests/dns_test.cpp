// DNS messages: parsing with compression and its abuse, learning addresses from answers,
// redirecting queries and giving the answers back under the original address.

#include <gtest/gtest.h>

#include <chrono>

#include "Brevant/Brevant.h"
#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"
#include "PacketBuilder.h"

using namespace testpkt;

namespace {

const uint32_t kClient = ip("10.0.0.2");
const uint32_t kResolver = ip("198.18.0.1");
const uint32_t kUpstream = ip("8.8.4.4");

Bytes header(uint16_t qd, uint16_t an, uint16_t flags = 0x8180) {
  return {0,
          1,
          static_cast<uint8_t>(flags >> 8),
          static_cast<uint8_t>(flags),
          0,
          static_cast<uint8_t>(qd),
          static_cast<uint8_t>(an >> 8),
          static_cast<uint8_t>(an),
          0,
          0,
          0,
          0};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(DnsMessage, ParsesCompressedCnameChain) {
  Bytes m = dns_answer(42, "game.example", {"edge.cdn.example", "a1.cdn.example"},
                       {ip("203.0.113.10"), ip("203.0.113.11")});
  auto msg = brevant::parse_dns_message(m);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->id, 42);
  EXPECT_TRUE(msg->is_response());
  ASSERT_EQ(msg->questions.size(), 1u);
  EXPECT_EQ(msg->questions[0].name, "game.example");
  ASSERT_EQ(msg->answers.size(), 4u);
  EXPECT_EQ(msg->answers[0].name, "game.example");
  EXPECT_EQ(msg->answers[0].target, "edge.cdn.example");
  EXPECT_EQ(msg->answers[1].name, "edge.cdn.example");
  EXPECT_EQ(msg->answers[2].name, "a1.cdn.example");
  EXPECT_EQ(msg->answers[3].address, ip("203.0.113.11"));
  EXPECT_EQ(msg->end, m.size());
}

TEST(DnsMessage, RejectsBadMessages) {
  Bytes q = {0, 1, 0, 1};  // type A, class IN
  Bytes long_label(66, 'a');
  long_label.front() = 64;
  long_label.back() = 0;
  Bytes long_name;  // 5 labels of 63: 320 bytes on the wire
  for (int i = 0; i < 5; ++i) {
    long_name.push_back(63);
    long_name.insert(long_name.end(), 63, 'b');
  }
  long_name.push_back(0);
  // Question k is named by a pointer to question k-1's name, so it takes k jumps.
  auto pointer_questions = [&](uint16_t count) {
    Bytes m = concat({header(count, 0), dns_name("x.example"), q});
    uint16_t prev = 12;
    for (uint16_t i = 1; i < count; ++i) {
      uint16_t here = static_cast<uint16_t>(m.size());
      m.push_back(static_cast<uint8_t>(0xC0 | (prev >> 8)));
      m.push_back(static_cast<uint8_t>(prev));
      m.insert(m.end(), q.begin(), q.end());
      prev = here;
    }
    return m;
  };

  struct Case {
    const char* name;
    Bytes msg;
  };
  const Case bad[] = {
      {"shorter than a header", Bytes(11, 0)},
      {"pointer to itself", concat({header(1, 0), {0xC0, 12}, q})},
      {"pointer forwards", concat({header(1, 0), {0xC0, 20}, q, {1, 'a', 0}})},
      {"pointer past the end", concat({header(1, 0), {0xC0}})},
      {"label past the end", concat({header(1, 0), {10, 'a', 'b'}})},
      {"label longer than 63", concat({header(1, 0), long_label, q})},
      {"name longer than 255", concat({header(1, 0), long_name, q})},
      {"reserved label type", concat({header(1, 0), {0x40, 'a', 0}, q})},
      {"question cut short", concat({header(1, 0), dns_name("a.example"), {0, 1}})},
      {"more answers than bytes", concat({header(1, 0xFFFF), dns_name("a.example"), q})},
      {"record data past the end", concat({header(1, 1),
                                           dns_name("a.example"),
                                           q,
                                           {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 40, 1, 2, 3, 4}})},
      {"A record of 3 bytes", concat({header(1, 1),
                                      dns_name("a.example"),
                                      q,
                                      {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 3, 1, 2, 3}})},
      {"CNAME longer than its data", concat({header(1, 1),
                                             dns_name("a.example"),
                                             q,
                                             {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 9, 0, 2, 1, 'b', 0}})},
      {"control byte in a label", concat({header(1, 0), {3, 'a', 0, 'b', 0}, q})},
      {"too many pointer jumps", pointer_questions(18)},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_FALSE(brevant::parse_dns_message(c.msg, &why));
    EXPECT_FALSE(why.empty());
  }
  // Sixteen jumps are allowed.
  auto ok = brevant::parse_dns_message(pointer_questions(17));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->questions.back().name, "x.example");
}

TEST(DnsLearning, CnameChainIsLearnedUnderTheQuestion) {
  brevant::DomainTable domains;
  Bytes answer = dns_answer(42, "Game.Example", {"edge.cdn.example", "a1.cdn.example"},
                            {ip("203.0.113.10"), ip("203.0.113.11")});
  // An address record for a name off the chain must not be learned.
  answer[7] += 1;
  Bytes stray = concat({dns_name("other.example"), {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 99}});
  answer.insert(answer.end(), stray.begin(), stray.end());
  Bytes packet = udp(kResolver, 53, kClient, 5353, answer);

  EXPECT_EQ(brevant::record_ip_to_domain_from_dns_answer_packet(domains, packet), 2u);
  EXPECT_EQ(brevant::domain_of_ip(domains, ip("203.0.113.10")), "game.example");
  EXPECT_EQ(brevant::domain_of_ip(domains, ip("203.0.113.11")), "game.example");
  EXPECT_EQ(brevant::domain_of_ip(domains, ip("192.0.2.99")), "");
}

TEST(DnsLearning, BadOrMisdirectedAnswersLearnNothing) {
  Bytes good = dns_answer(1, "game.example", {}, {ip("203.0.113.10")});
  Bytes loop = good;
  loop[12] = 0xC0;  // question name now points at itself
  loop[13] = 12;
  Bytes cut(good.begin(), good.end() - 2);
  Bytes query_shaped = good;
  query_shaped[2] &= 0x7F;  // QR 0
  const Bytes packets[] = {
      udp(kResolver, 53, kClient, 5353, loop),
      udp(kResolver, 53, kClient, 5353, cut),
      udp(kResolver, 53, kClient, 5353, query_shaped),
      udp(kResolver, 5300, kClient, 5353, good),  // not from port 53
      tcp(kResolver, 53, kClient, 5353),
  };
  brevant::DomainTable domains;
  for (const auto& p : packets)
    EXPECT_EQ(brevant::record_ip_to_domain_from_dns_answer_packet(domains, p), 0u);
  EXPECT_EQ(domains.size(), 0u);
}

TEST(DnsRedirect, QueryRewriteThenAnswerRestore) {
  brevant::DnsRedirectTable redirects;
  brevant::DomainTable domains;
  const Bytes original = udp(kClient, 5353, kResolver, 53, dns_query(77, "game.example"));
  Bytes query = original;
  ASSERT_TRUE(brevant::process_dns_query_packet(redirects, kUpstream, query));
  auto qi = brevant::parse_ipv4(query);
  ASSERT_TRUE(qi);
  EXPECT_EQ(qi->dst, kUpstream);
  EXPECT_EQ(qi->src, kClient);
  EXPECT_TRUE(brevant::verify_checksums(query));
  EXPECT_TRUE(std::equal(query.begin() + 28, query.end(), original.begin() + 28));

  Bytes answer =
      udp(kUpstream, 53, kClient, 5353, dns_answer(77, "game.example", {}, {ip("203.0.113.10")}));
  ASSERT_TRUE(brevant::process_dns_answer_packet(redirects, domains, answer, 1));
  auto ai = brevant::parse_ipv4(answer);
  ASSERT_TRUE(ai);
  EXPECT_EQ(ai->src, kResolver);
  EXPECT_EQ(ai->dst, kClient);
  EXPECT_EQ(ai->src_port, 53);
  EXPECT_TRUE(brevant::verify_checksums(answer));
  EXPECT_EQ(brevant::domain_of_ip(domains, ip("203.0.113.10")), "game.example");

  // The memory is used once; a repeat answer keeps its own source.
  Bytes repeat = udp(kUpstream, 53, kClient, 5353, dns_answer(77, "game.example", {}, {}));
  ASSERT_TRUE(brevant::process_dns_answer_packet(redirects, domains, repeat, 1));
  EXPECT_EQ(brevant::parse_ipv4(repeat)->src, kUpstream);
}

TEST(DnsRedirect, OnlyMatchingAnswersAreRestored) {
  brevant::DnsRedirectTable redirects;
  brevant::DomainTable domains;
  Bytes query = udp(kClient, 5353, kResolver, 53, dns_query(77, "game.example"));
  ASSERT_TRUE(brevant::process_dns_query_packet(redirects, kUpstream, query));
  struct Case {
    const char* name;
    Bytes answer;
    int restore;
  };
  const Case cases[] = {
      {"other transaction",
       udp(kUpstream, 53, kClient, 5353, dns_answer(78, "game.example", {}, {})), 1},
      {"other client port",
       udp(kUpstream, 53, kClient, 5354, dns_answer(77, "game.example", {}, {})), 1},
      {"restore off", udp(kUpstream, 53, kClient, 5353, dns_answer(77, "game.example", {}, {})), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes a = c.answer;
    ASSERT_TRUE(brevant::process_dns_answer_packet(redirects, domains, a, c.restore));
    EXPECT_EQ(brevant::parse_ipv4(a)->src, kUpstream);
  }
}

TEST(DnsRedirect, NonQueriesAreLeftAlone) {
  brevant::DnsRedirectTable redirects;
  brevant::DomainTable domains;
  const Bytes packets[] = {
      udp(kClient, 5353, kResolver, 53, Bytes(8, 0xEE)),
      udp(kClient, 5353, kResolver, 54, dns_query(1, "game.example")),
      tcp(kClient, 5353, kResolver, 53),
      Bytes(10, 0x45),
  };
  for (const auto& p : packets) {
    Bytes copy = p;
    EXPECT_FALSE(brevant::process_dns_query_packet(redirects, kUpstream, copy));
    EXPECT_EQ(copy, p);
    EXPECT_FALSE(brevant::process_dns_answer_packet(redirects, domains, copy, 1));
    EXPECT_EQ(copy, p);
  }
  EXPECT_EQ(redirects.size(), 0u);
}

TEST(DnsRedirect, EntriesExpireAndAreBounded) {
  auto now = std::chrono::steady_clock::time_point{};
  brevant::DnsRedirectTable table([&] { return now; }, 2, std::chrono::seconds(30));
  table.remember(1, 1, 1, 100);
  now += std::chrono::seconds(29);
  EXPECT_EQ(table.take(1, 1, 1), 100u);
  table.remember(1, 1, 2, 200);
  now += std::chrono::seconds(30);
  EXPECT_FALSE(table.take(1, 1, 2));

  table.remember(2, 2, 1, 1);
  table.remember(2, 2, 2, 2);
  table.remember(2, 2, 3, 3);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_FALSE(table.take(2, 2, 1));
  EXPECT_EQ(table.take(2, 2, 3), 3u);
}

TEST(DomainTable, LeastRecentlyUsedGoesWhenFull) {
  brevant::DomainTable table(3);
  table.record(1, "a");
  table.record(2, "b");
  table.record(3, "c");
  EXPECT_EQ(table.lookup(1), "a");  // 2 is now the least recently used
  table.record(4, "d");
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.lookup(2), "");
  EXPECT_EQ(table.lookup(1), "a");
  table.record(1, "a2");
  EXPECT_EQ(table.lookup(1), "a2");
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(brevant::DomainTable().capacity(), 65536u);
}

}  // namespace
