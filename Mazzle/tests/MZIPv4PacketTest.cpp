// IPv4 packets: checksums against known values, the EDNS client-subnet upgrade, fragmenting
// and reassembly with its limits, and packets whose length fields lie.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "PacketBuilder.h"

using testpkt::Bytes;
using testpkt::ip;

namespace {

uint16_t be16(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

Bytes payload_of(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

TEST(Checksum, KnownValues) {
  // RFC 1071's worked example: the folded sum of these bytes is 0xDDF2.
  const Bytes rfc = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(brevant::checksum_fold(brevant::checksum_add(rfc)), 0xDDF2);

  struct Case {
    const char* name;
    Bytes packet;
    size_t field;
    uint16_t expected;
  };
  Bytes ip_header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                     0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
  ip_header.resize(0x73, 0);
  brevant::write_be16(ip_header.data() + 20 + 4, 0x73 - 20);  // a UDP length that fits
  const uint32_t a = ip("10.0.0.1"), b = ip("10.0.0.2");
  Bytes tcp_syn(20, 0);
  tcp_syn[1] = 1;
  tcp_syn[3] = 2;
  tcp_syn[12] = 0x50;
  tcp_syn[13] = 0x02;
  const Case cases[] = {
      {"ip header", ip_header, 10, 0xB861},
      {"empty udp", MZIPv4Packet::buildUDP(a, 1, b, 2, {}), 26, 0xEBD8},
      {"tcp syn", MZIPv4Packet::buildIPv4(a, b, 6, tcp_syn), 36, 0x9BDD},
      {"icmp echo", MZIPv4Packet::buildIPv4(a, b, 1, Bytes{8, 0, 0, 0, 0, 1, 0, 1}), 22, 0xF7FD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = MZIPv4Packet::packetWithData(c.packet, true);
    ASSERT_TRUE(p);
    p->updateChecksum();
    EXPECT_EQ(be16(p->rawData(), c.field), c.expected);
    EXPECT_TRUE(brevant::verify_checksums(p->rawData()));
  }
}

TEST(Checksum, UdpZeroIsSentAsAllOnes) {
  const uint32_t a = ip("10.0.0.1"), b = ip("10.0.0.2");
  Bytes packet = MZIPv4Packet::buildUDP(a, 1, b, 2, Bytes{0, 0});
  // Choose the two payload bytes so that the sum becomes 0xFFFF and the checksum 0.
  uint8_t pseudo[12];
  brevant::write_be32(pseudo, a);
  brevant::write_be32(pseudo + 4, b);
  pseudo[8] = 0;
  pseudo[9] = 17;
  brevant::write_be16(pseudo + 10, 10);
  Bytes udp(packet.begin() + 20, packet.end());
  udp[6] = udp[7] = 0;
  uint16_t sum = brevant::checksum_fold(brevant::checksum_add(udp, brevant::checksum_add(pseudo)));
  brevant::write_be16(packet.data() + 28, static_cast<uint16_t>(~sum));
  auto p = MZIPv4Packet::packetWithData(packet, true);
  ASSERT_TRUE(p);
  p->updateChecksum();
  EXPECT_EQ(be16(p->rawData(), 26), 0xFFFF);
  EXPECT_TRUE(brevant::verify_checksums(p->rawData()));
}

TEST(Packet, LengthLiesAreRejected) {
  const Bytes good = MZIPv4Packet::buildUDP(ip("10.0.0.1"), 1, ip("10.0.0.2"), 2, payload_of(20));
  auto mutate = [&](size_t at, uint8_t v) {
    Bytes p = good;
    p[at] = v;
    return p;
  };
  struct Case {
    const char* name;
    Bytes packet;
  };
  Bytes frag_end = good;
  brevant::write_be16(frag_end.data() + 6, 0x1FFF);  // offset 65528 plus 28 bytes
  const Case cases[] = {
      {"empty", {}},
      {"total length past the data", mutate(3, 200)},
      {"total length below the header", mutate(3, 10)},
      {"ihl past total length", mutate(0, 0x4F)},
      {"udp length past the end", mutate(25, 200)},
      {"udp length below 8", mutate(25, 4)},
      {"offset plus length past 65535", frag_end},
      {"ipv6", mutate(0, 0x60)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(MZIPv4Packet::packetWithData(c.packet, true));
    EXPECT_FALSE(MZIPv4Packet::fragmentPacket(c.packet));
    EXPECT_FALSE(MZIPv4Packet::Reassembler().add(c.packet));
  }
  // Bytes after the total length are cut off, not read as part of the packet.
  Bytes padded = good;
  padded.resize(good.size() + 5, 0xEE);
  auto p = MZIPv4Packet::packetWithData(padded, false);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->rawData(), good);
  EXPECT_EQ(p->description(), "<- UDP 10.0.0.1:1 > 10.0.0.2:2 len 48 id 0");
}

Bytes query_packet(const Bytes& dns) {
  return MZIPv4Packet::buildUDP(ip("10.0.0.2"), 5353, ip("198.18.0.1"), 53, dns);
}

TEST(Edns, QueryGetsClientSubnet) {
  auto p = MZIPv4Packet::packetWithData(query_packet(testpkt::dns_query(9, "game.example")), true);
  ASSERT_TRUE(p);
  size_t before = p->rawData().size();
  ASSERT_TRUE(p->upgradeToEDNSWithClientIP(ip("203.0.113.77")));
  const Bytes& raw = p->rawData();
  EXPECT_EQ(raw.size(), before + 22);
  EXPECT_EQ(be16(raw, 2), raw.size());
  EXPECT_EQ(be16(raw, 24), raw.size() - 20);
  EXPECT_TRUE(brevant::verify_checksums(raw));
  auto msg = brevant::parse_dns_message(std::span<const uint8_t>(raw).subspan(28));
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->end, raw.size() - 28);
  EXPECT_EQ(msg->questions[0].name, "game.example");
  ASSERT_EQ(msg->additional.size(), 1u);
  const auto& opt = msg->additional[0];
  EXPECT_EQ(opt.type, brevant::kDnsTypeOPT);
  EXPECT_EQ(opt.name, "");
  const Bytes option(raw.begin() + static_cast<long>(opt.rdata_offset) + 28, raw.end());
  EXPECT_EQ(option, (Bytes{0, 8, 0, 7, 0, 1, 24, 0, 203, 0, 113}));
}

TEST(Edns, OtherPacketsStayUnchanged) {
  Bytes with_additional = testpkt::dns_query(9, "game.example");
  with_additional[11] = 1;  // ARCOUNT 1: an OPT record of its own
  Bytes existing_opt = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0};
  with_additional.insert(with_additional.end(), existing_opt.begin(), existing_opt.end());
  Bytes response = testpkt::dns_answer(9, "game.example", {}, {});
  Bytes trailing = testpkt::dns_query(9, "game.example");
  trailing.push_back(0);
  const Bytes cases[] = {
      query_packet(with_additional),
      query_packet(response),
      query_packet(trailing),
      query_packet(Bytes(12, 0xFF)),
      MZIPv4Packet::buildUDP(ip("10.0.0.2"), 5353, ip("198.18.0.1"), 5300,
                             testpkt::dns_query(9, "game.example")),
      testpkt::tcp(ip("10.0.0.2"), 5353, ip("198.18.0.1"), 53),
  };
  for (const auto& c : cases) {
    auto p = MZIPv4Packet::packetWithData(c, true);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->upgradeToEDNSWithClientIP(ip("203.0.113.77")));
    EXPECT_EQ(p->rawData(), c);
  }
}

class Reassembly : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now{};
  MZIPv4Packet::Reassembler reassembler{[this] { return now; }, 4, std::chrono::seconds(30)};
  const Bytes whole = MZIPv4Packet::buildUDP(ip("198.51.100.1"), 27015, ip("10.0.0.2"), 4000,
                                             payload_of(3000), 0x1234);
  std::vector<Bytes> fragments = MZIPv4Packet::buildFragments(whole, 1000);
};

TEST_F(Reassembly, FragmentsAreSoundAndMarked) {
  ASSERT_EQ(fragments.size(), 4u);
  for (size_t i = 0; i < fragments.size(); ++i) {
    EXPECT_LE(fragments[i].size(), 1000u);
    EXPECT_TRUE(MZIPv4Packet::fragmentPacket(fragments[i]));
    EXPECT_TRUE(brevant::verify_checksums(fragments[i]));
  }
  EXPECT_FALSE(MZIPv4Packet::fragmentPacket(whole));
  EXPECT_EQ(MZIPv4Packet::buildFragments(whole, 65535), std::vector<Bytes>{whole});
  Bytes df = whole;
  df[6] |= 0x40;
  EXPECT_TRUE(MZIPv4Packet::buildFragments(df, 1000).empty());
  // A TCP header of 60 bytes cannot be split off its first piece.
  Bytes tcp(60 + 200, 0);
  tcp[12] = 0xF0;
  Bytes long_header = MZIPv4Packet::buildIPv4(ip("10.0.0.2"), ip("203.0.113.10"), 6, tcp);
  EXPECT_TRUE(MZIPv4Packet::buildFragments(long_header, 76).empty());
  EXPECT_EQ(MZIPv4Packet::buildFragments(long_header, 100).size(), 4u);
}

TEST_F(Reassembly, InOrderAndOutOfOrder) {
  std::vector<std::vector<size_t>> orders = {{0, 1, 2, 3}, {3, 1, 0, 2}, {2, 3, 1, 0}};
  for (const auto& order : orders) {
    std::optional<Bytes> out;
    for (size_t n = 0; n < order.size(); ++n) {
      out = reassembler.add(fragments[order[n]]);
      if (n + 1 < order.size()) {
        EXPECT_FALSE(out);
      }
    }
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, whole);
    EXPECT_EQ(reassembler.pending(), 0u);
  }
}

TEST_F(Reassembly, MissingPieceDeliversNothingAndExpires) {
  for (size_t i : {0, 1, 3}) EXPECT_FALSE(reassembler.add(fragments[i]));
  EXPECT_EQ(reassembler.pending(), 1u);
  now += std::chrono::seconds(31);
  // The late piece finds its datagram gone and waits alone.
  EXPECT_FALSE(reassembler.add(fragments[2]));
  EXPECT_EQ(reassembler.pending(), 1u);
  now += std::chrono::seconds(31);
  EXPECT_FALSE(reassembler.add(fragments[0]));
  EXPECT_EQ(reassembler.pending(), 1u);
}

TEST_F(Reassembly, PendingDatagramsAreBounded) {
  for (uint16_t id = 1; id <= 6; ++id) {
    Bytes p =
        MZIPv4Packet::buildUDP(ip("198.51.100.1"), 1, ip("10.0.0.2"), 2, payload_of(2000), id);
    EXPECT_FALSE(reassembler.add(MZIPv4Packet::buildFragments(p, 1000)[0]));
  }
  EXPECT_EQ(reassembler.pending(), 4u);
}

TEST_F(Reassembly, OverlapAndOversizeDropTheDatagram) {
  // A piece that overlaps the first by 8 bytes.
  Bytes overlap = fragments[1];
  uint16_t field = be16(overlap, 6);
  brevant::write_be16(overlap.data() + 6, static_cast<uint16_t>(field - 1));
  brevant::update_checksums(overlap);

  EXPECT_FALSE(reassembler.add(fragments[0]));
  EXPECT_FALSE(reassembler.add(overlap));
  EXPECT_EQ(reassembler.pending(), 0u);
  // What is left of the datagram never completes without its first piece.
  for (size_t i = 1; i < fragments.size(); ++i) EXPECT_FALSE(reassembler.add(fragments[i]));
}

TEST_F(Reassembly, PiecesPastTheEndDropTheDatagram) {
  // A last piece that would end the datagram, header included, past 65535 bytes.
  Bytes big = testpkt::ipv4(ip("198.51.100.1"), ip("10.0.0.2"), 17, payload_of(16), 0x1234, 0x1FFD);
  EXPECT_FALSE(reassembler.add(fragments[0]));
  EXPECT_FALSE(reassembler.add(big));
  EXPECT_EQ(reassembler.pending(), 0u);

  // A middle piece beyond the end that the last piece set.
  EXPECT_FALSE(reassembler.add(fragments[3]));
  Bytes beyond = fragments[2];
  brevant::write_be16(beyond.data() + 6, static_cast<uint16_t>(0x2000 | 500));
  brevant::update_checksums(beyond);
  EXPECT_FALSE(reassembler.add(beyond));
  EXPECT_EQ(reassembler.pending(), 0u);

  // A second last piece with another end.
  EXPECT_FALSE(reassembler.add(fragments[3]));
  Bytes other_end = fragments[3];
  brevant::write_be16(other_end.data() + 6, static_cast<uint16_t>(be16(fragments[3], 6) + 10));
  brevant::update_checksums(other_end);
  EXPECT_FALSE(reassembler.add(other_end));
  EXPECT_EQ(reassembler.pending(), 0u);
}

}  // namespace

namespace {

TEST(Helper, DottedAddressTexts) {
  struct Case {
    const char* text;
    std::optional<uint32_t> addr;
  };
  const Case cases[] = {
      {"0.0.0.0", 0u},
      {"198.18.0.1", 0xC6120001u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"256.0.0.1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1..3.4", std::nullopt},
      {"1.2.3.4 ", std::nullopt},
      {"0001.2.3.4", std::nullopt},
      {"", std::nullopt},
      {"a.b.c.d", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(MZHelper::ipv4AddrFromLiteral(c.text), c.addr);
    if (c.addr) {
      EXPECT_EQ(MZHelper::ipv4LiteralFromAddr(*c.addr), c.text);
    }
  }
}

TEST(Packet, DescriptionsNameKindAndFragment) {
  auto icmp = MZIPv4Packet::packetWithData(
      MZIPv4Packet::buildIPv4(ip("10.0.0.2"), ip("192.0.2.1"), 1, Bytes{8, 0, 0, 0, 0, 1, 0, 1}, 5),
      true);
  ASSERT_TRUE(icmp);
  EXPECT_EQ(icmp->description(), "-> ICMP 10.0.0.2 > 192.0.2.1 len 28 id 5");
  Bytes whole = MZIPv4Packet::buildUDP(ip("10.0.0.2"), 1, ip("192.0.2.1"), 2, payload_of(100), 6);
  auto pieces = MZIPv4Packet::buildFragments(whole, 68);
  ASSERT_GE(pieces.size(), 2u);
  auto first = MZIPv4Packet::packetWithData(pieces[0], true);
  auto second = MZIPv4Packet::packetWithData(pieces[1], false);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->description(), "-> UDP 10.0.0.2:1 > 192.0.2.1:2 len 68 id 6 frag off 0 MF");
  EXPECT_EQ(second->description(), "<- UDP 10.0.0.2 > 192.0.2.1 len 68 id 6 frag off 48 MF");
  EXPECT_EQ(second->sourcePort(), 0);
  EXPECT_EQ(second->payload().size(), 48u);
}

}  // namespace
