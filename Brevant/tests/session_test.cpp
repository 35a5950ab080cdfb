// Session records extracted from packets: addressing, ports, DNS detection, domains, and
// rejection of packets whose headers lie about their lengths.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Brevant/Brevant.h"
#include "Brevant/Packet.h"
#include "PacketBuilder.h"

using namespace testpkt;
using brevant::kDirectionIncoming;
using brevant::kDirectionOutgoing;

namespace {

const uint32_t kClient = ip("10.0.0.2");
const uint32_t kServer = ip("203.0.113.10");
const uint32_t kResolver = ip("198.18.0.1");

struct SessionCase {
  const char* name;
  Bytes packet;
  int direction;
  bool parsed;
  uint8_t protocol;
  uint16_t dst_port;  // host order
  bool is_dns;
  std::string domain;
};

Bytes with(Bytes p, size_t at, uint8_t value) {
  p.at(at) = value;
  return p;
}

Bytes truncated(Bytes p, size_t n) {
  p.resize(n);
  return p;
}

// UDP whose length field claims more than the packet holds.
Bytes udp_length_lie() {
  Bytes p = udp(kClient, 4000, kServer, 27015, Bytes(10, 0));
  brevant::write_be16(p.data() + 24, 200);
  return p;
}

std::vector<SessionCase> cases() {
  Bytes udp_payload(16, 0xAB);
  Bytes first_fragment = udp(kClient, 4000, kServer, 27015, Bytes(64, 1));
  brevant::write_be16(first_fragment.data() + 6, 0x2000);
  Bytes later_fragment = ipv4(kClient, kServer, 17, Bytes(16, 2), 9, 0x0003);
  return {
      {"tcp to a learned address", tcp(kClient, 5000, kServer, 443), kDirectionOutgoing, true, 6,
       443, false, "game.example"},
      {"udp to an unknown address", udp(kClient, 4000, ip("192.0.2.7"), 27015, udp_payload),
       kDirectionOutgoing, true, 17, 27015, false, ""},
      {"icmp has no ports", icmp_echo(kClient, kServer), kDirectionOutgoing, true, 1, 0, false,
       "game.example"},
      {"dns query out", udp(kClient, 5353, kResolver, 53, dns_query(7, "Game.Example")),
       kDirectionOutgoing, true, 17, 53, true, "Game.Example"},
      {"dns query seen coming in is no dns",
       udp(kClient, 5353, kResolver, 53, dns_query(7, "game.example")), kDirectionIncoming, true,
       17, 53, false, ""},
      {"dns answer in",
       udp(kResolver, 53, kClient, 5353, dns_answer(7, "game.example", {}, {kServer})),
       kDirectionIncoming, true, 17, 5353, true, "game.example"},
      {"dns answer going out is no dns",
       udp(kResolver, 53, kClient, 5353, dns_answer(7, "game.example", {}, {kServer})),
       kDirectionOutgoing, true, 17, 5353, false, ""},
      {"garbage to port 53 is no dns", udp(kClient, 5353, kResolver, 53, Bytes(5, 0xFF)),
       kDirectionOutgoing, true, 17, 53, false, ""},
      {"first fragment keeps its ports", first_fragment, kDirectionOutgoing, true, 17, 27015, false,
       "game.example"},
      {"later fragment has no ports", later_fragment, kDirectionOutgoing, true, 17, 0, false,
       "game.example"},
      {"shorter than a header", truncated(tcp(kClient, 1, kServer, 2), 19), kDirectionOutgoing,
       false, 0, 0, false, ""},
      {"total length past the data", truncated(tcp(kClient, 1, kServer, 2), 30), kDirectionOutgoing,
       false, 0, 0, false, ""},
      {"ihl below five", with(tcp(kClient, 1, kServer, 2), 0, 0x44), kDirectionOutgoing, false, 0,
       0, false, ""},
      {"not version four", with(tcp(kClient, 1, kServer, 2), 0, 0x65), kDirectionOutgoing, false, 0,
       0, false, ""},
      {"tcp header cut short", ipv4(kClient, kServer, 6, Bytes(12, 0)), kDirectionOutgoing, false,
       0, 0, false, ""},
      {"tcp data offset below five", with(tcp(kClient, 1, kServer, 2), 32, 0x40),
       kDirectionOutgoing, false, 0, 0, false, ""},
      {"udp length past the end", udp_length_lie(), kDirectionOutgoing, false, 0, 0, false, ""},
      {"udp header cut short", ipv4(kClient, kServer, 17, Bytes(6, 0)), kDirectionOutgoing, false,
       0, 0, false, ""},
  };
}

TEST(SessionRecord, PacketsGiveTheirRecords) {
  brevant::DomainTable domains;
  domains.record(kServer, "game.example");
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    brevant::ip_session_info s;
    s.domain = "stale";
    bool ok = brevant::get_ip_session_info(&domains, s, c.packet, c.direction);
    EXPECT_EQ(ok, c.parsed);
    EXPECT_EQ(s.parsed, c.parsed);
    if (!c.parsed) {
      EXPECT_EQ(s.domain, "");
      continue;
    }
    EXPECT_EQ(s.protocol, c.protocol);
    EXPECT_EQ(ntohs(s.dst_port), c.dst_port);
    EXPECT_EQ(s.is_dns, c.is_dns);
    EXPECT_EQ(s.domain, c.domain);
  }
}

TEST(SessionRecord, CarriesAddressesAndTransactionId) {
  Bytes q = udp(kClient, 5353, kResolver, 53, dns_query(0xBEEF, "game.example"));
  brevant::ip_session_info s;
  ASSERT_TRUE(brevant::get_ip_session_info(nullptr, s, q, kDirectionOutgoing));
  EXPECT_EQ(s.src_ip, kClient);
  EXPECT_EQ(s.dst_ip, kResolver);
  EXPECT_EQ(ntohs(s.src_port), 5353);
  EXPECT_EQ(s.dns_id, 0xBEEF);
  EXPECT_EQ(s.area_id, 0);
  EXPECT_EQ(s.isp_id, 0);
}

TEST(SessionRecord, TrailingBytesAfterTheDatagramAreIgnored) {
  Bytes p = tcp(kClient, 5000, kServer, 443);
  p.insert(p.end(), 6, 0);  // link padding
  brevant::ip_session_info s;
  ASSERT_TRUE(brevant::get_ip_session_info(nullptr, s, p, kDirectionOutgoing));
  EXPECT_EQ(ntohs(s.dst_port), 443);
}

}  // namespace
