// TUN-mode address translation: checksums stay right after an address changes, subnets parse
// strictly, and each (client, inner address) pair owns one outside address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "PacketNat.h"
#include "TunDevice.h"

using Bytes = std::vector<uint8_t>;
using namespace standin::relay;

namespace {
uint32_t ip(const char* text) { return *MZHelper::ipv4AddrFromLiteral(text); }

// Every checksum recomputed from scratch; equal to the input only when those were right.
Bytes recomputed(const Bytes& packet) {
  auto p = MZIPv4Packet::packetWithData(packet, false);
  if (!p) return {};
  p->updateChecksum();
  return p->rawData();
}

Bytes withChecksums(uint8_t protocol, Bytes payload) {
  return recomputed(
      MZIPv4Packet::buildIPv4(ip("203.0.113.7"), ip("198.51.100.50"), protocol, payload, 77));
}

sockaddr_in client(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
}  // namespace

TEST(PacketNatTest, RewritingKeepsEveryChecksumRight) {
  Bytes tcp(20, 0);
  tcp[12] = 5 << 4;
  tcp[13] = 0x02;
  Bytes udp{0x9c, 0x40, 0x1f, 0x90, 0, 13, 0, 0, 'h', 'e', 'l', 'l', 'o'};
  Bytes icmp{8, 0, 0, 0, 0x12, 0x34, 0, 1, 'x'};
  const struct {
    const char* name;
    Bytes packet;
  } cases[] = {
      {"tcp", withChecksums(IPPROTO_TCP, tcp)},
      {"udp", withChecksums(IPPROTO_UDP, udp)},
      {"icmp", withChecksums(IPPROTO_ICMP, icmp)},
  };
  for (const auto& c : cases) {
    for (bool source : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (source ? " source" : " destination"));
      ASSERT_FALSE(c.packet.empty());
      Bytes p = c.packet;
      ASSERT_TRUE(rewriteAddress(p, source, ip("192.0.2.2")));
      auto parsed = MZIPv4Packet::packetWithData(p, false);
      ASSERT_TRUE(parsed);
      EXPECT_EQ(source ? parsed->source() : parsed->destination(), ip("192.0.2.2"));
      EXPECT_EQ(source ? parsed->destination() : parsed->source(),
                source ? ip("198.51.100.50") : ip("203.0.113.7"));
      EXPECT_EQ(recomputed(p), p);
    }
  }
}

TEST(PacketNatTest, UdpWithoutChecksumAndLaterFragments) {
  // A UDP checksum of 0 means none and stays 0.
  Bytes udp = MZIPv4Packet::buildIPv4(ip("203.0.113.7"), ip("198.51.100.50"), IPPROTO_UDP,
                                      Bytes{0, 1, 0, 2, 0, 9, 0, 0, 'x'});
  udp[26] = udp[27] = 0;  // the builder fills one in
  ASSERT_TRUE(rewriteAddress(udp, true, ip("192.0.2.9")));
  EXPECT_EQ(udp[26], 0);
  EXPECT_EQ(udp[27], 0);

  // A later fragment has no transport header: only the IP checksum changes.
  Bytes big(2000, 'z');
  auto pieces = MZIPv4Packet::buildFragments(
      MZIPv4Packet::buildUDP(ip("203.0.113.7"), 1, ip("198.51.100.50"), 2, big, 5), 576);
  ASSERT_GE(pieces.size(), 2u);
  Bytes later = pieces[1];
  Bytes payloadBefore(later.begin() + 20, later.end());
  ASSERT_TRUE(rewriteAddress(later, false, ip("192.0.2.9")));
  EXPECT_EQ(Bytes(later.begin() + 20, later.end()), payloadBefore);
  EXPECT_EQ(recomputed(later), later);

  Bytes shortOne(19, 0x45);
  EXPECT_FALSE(rewriteAddress(shortOne, true, 1));
  EXPECT_EQ(shortOne, Bytes(19, 0x45));
}

TEST(PacketNatTest, SubnetsParseStrictly) {
  auto good = parseSubnet("192.0.2.1/24");
  ASSERT_TRUE(good);
  EXPECT_EQ(good->address, ip("192.0.2.1"));
  EXPECT_EQ(good->network(), ip("192.0.2.0"));
  EXPECT_EQ(good->broadcast(), ip("192.0.2.255"));
  for (const char* bad :
       {"192.0.2.1", "192.0.2.1/", "192.0.2.1/31", "192.0.2.1/7", "192.0.2.1/2x", "192.0.2.1/-24",
        "300.0.2.1/24", "192.0.2.0/24", "192.0.2.255/24", "192.0.2.1/024", ""})
    EXPECT_FALSE(parseSubnet(bad)) << bad;
}

TEST(PacketNatTest, EachClientAndInnerAddressOwnsOneOutsideAddress) {
  // 192.0.2.3/29: hosts .1 to .6, the device's own .3 skipped, so five to give out.
  NatTable nat(*parseSubnet("192.0.2.3/29"));
  const uint32_t game = ip("203.0.113.7");
  auto a = nat.outside(client(1000), "127.0.0.1:1000", "127.0.0.1:40001", game);
  auto b = nat.outside(client(2000), "127.0.0.1:2000", "127.0.0.1:40001", game);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, ip("192.0.2.1"));
  EXPECT_EQ(*b, ip("192.0.2.2"));
  // The same pair again, now through another relay pair: same address, pair updated.
  EXPECT_EQ(nat.outside(client(1000), "127.0.0.1:1000", "127.0.0.1:40002", game), a);
  ASSERT_TRUE(nat.owner(*a));
  EXPECT_EQ(nat.owner(*a)->endpoint, "127.0.0.1:40002");
  EXPECT_EQ(nat.owner(*a)->inner, game);
  EXPECT_EQ(ntohs(nat.owner(*b)->client.sin_port), 2000);

  std::vector<uint32_t> more;
  for (uint32_t i = 1; i <= 3; ++i)
    more.push_back(*nat.outside(client(1000), "127.0.0.1:1000", "127.0.0.1:40001", game + i));
  EXPECT_EQ(more, (std::vector<uint32_t>{ip("192.0.2.4"), ip("192.0.2.5"), ip("192.0.2.6")}));
  EXPECT_FALSE(nat.outside(client(1000), "127.0.0.1:1000", "127.0.0.1:40001", game + 9))
      << "the subnet is used up";
  EXPECT_FALSE(nat.owner(ip("192.0.2.3")));
  EXPECT_FALSE(nat.owner(ip("192.0.2.7")));
}
