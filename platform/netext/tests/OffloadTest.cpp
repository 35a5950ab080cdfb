// Packets a TUN device with offloads hands over: checksums finished and large TCP packets cut,
// checked against a plain byte-by-byte checksum.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/netext/Offload.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::netext::finishOffloaded;
using platform::netext::Offload;

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

// One's-complement sum, one 16-bit word at a time.
uint32_t plainSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += get16(p + i);
  if (n % 2) sum += uint32_t(p[n - 1]) << 8;
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(sum);
}
uint32_t pseudoSum(const Bytes& p) {
  const size_t ihl = size_t(p[0] & 15) * 4;
  return plainSum(p.data() + 12, 8) + p[9] + uint32_t(get16(p.data() + 2) - ihl);
}
// True when the IP header and the TCP/UDP checksum are sound.
bool sound(const Bytes& p) {
  const size_t ihl = size_t(p[0] & 15) * 4;
  if (fold(plainSum(p.data(), ihl)) != 0xFFFF) return false;
  return fold(plainSum(p.data() + ihl, get16(p.data() + 2) - ihl, pseudoSum(p))) == 0xFFFF;
}

Bytes packet(uint8_t protocol, size_t payload, uint8_t tcpFlags = 0x18) {
  const size_t l4 = protocol == 6 ? 20 : 8;
  Bytes p(20 + l4 + payload);
  p[0] = 0x45;
  put16(&p[2], uint16_t(p.size()));
  put16(&p[4], 0x1234);
  p[6] = 0x40;
  p[8] = 64;
  p[9] = protocol;
  const uint8_t addresses[] = {192, 0, 2, 1, 203, 0, 113, 20};
  std::copy(addresses, addresses + 8, p.begin() + 12);
  put16(&p[10], uint16_t(~fold(plainSum(p.data(), 20))));
  put16(&p[20], 40000);
  put16(&p[22], 5201);
  if (protocol == 6) {
    p[24] = 0x10, p[25] = 0x20, p[26] = 0x30, p[27] = 0xF0;  // sequence near the wrap
    p[32] = 5 << 4;
    p[33] = tcpFlags;
    put16(&p[34], 0xFFFF);
  } else {
    put16(&p[24], uint16_t(8 + payload));
  }
  for (size_t i = 0; i < payload; ++i) p[20 + l4 + i] = uint8_t(i * 7 + 3);
  EXPECT_TRUE(platform::netext::fillTransportChecksum(p));
  EXPECT_TRUE(sound(p));
  return p;
}

// What the kernel leaves: the pseudo-header's sum, folded and not complemented.
Offload leavePartial(Bytes& p) {
  Offload o;
  o.flags = Offload::kNeedsChecksum;
  o.checksumStart = 20;
  o.checksumOffset = p[9] == 6 ? 16 : 6;
  put16(&p[20 + o.checksumOffset], fold(pseudoSum(p)));
  return o;
}

std::vector<Bytes> finish(Bytes& p, const Offload& o, bool* ok = nullptr) {
  std::vector<Bytes> out;
  bool done = finishOffloaded(
      p, o, [&](std::span<const uint8_t> s) { out.emplace_back(s.begin(), s.end()); });
  if (ok) *ok = done;
  return out;
}

TEST(Offload, FinishesTheChecksumTheKernelLeft) {
  for (uint8_t protocol : {uint8_t(6), uint8_t(17)}) {
    for (size_t payload : {0, 1, 2, 7, 8, 9, 15, 1399, 1400, 9001}) {
      const Bytes whole = packet(protocol, payload);
      Bytes partial = whole;
      const Offload o = leavePartial(partial);
      ASSERT_NE(partial, whole);
      auto out = finish(partial, o);
      ASSERT_EQ(out.size(), 1u) << int(protocol) << " " << payload;
      EXPECT_TRUE(sound(out[0])) << int(protocol) << " " << payload;
      EXPECT_EQ(out[0], whole) << int(protocol) << " " << payload;
    }
  }
  // A plain packet passes as it is.
  Bytes plain = packet(17, 30);
  const Bytes copy = plain;
  EXPECT_EQ(finish(plain, Offload{}), std::vector<Bytes>{copy});
}

TEST(Offload, CutsALargeTCPPacketIntoSoundSegments) {
  struct Case {
    size_t payload;
    uint16_t mss;
    size_t segments;
  };
  const Case cases[] = {{1, 1400, 1},    {1400, 1400, 1},   {2800, 1400, 2},
                        {3001, 1000, 4}, {65000, 1448, 45}, {0, 536, 1}};
  const uint8_t kFin = 0x01, kPsh = 0x08, kAck = 0x10, kCwr = 0x80;
  for (const auto& c : cases) {
    Bytes big = packet(6, c.payload, kFin | kPsh | kAck | kCwr);
    const Bytes original = big;
    Offload o = leavePartial(big);
    o.gsoType = Offload::kGsoTCPv4;
    o.gsoSize = c.mss;
    o.headerLength = 40;
    auto segments = finish(big, o);
    ASSERT_EQ(segments.size(), c.segments) << c.payload;
    Bytes joined;
    const uint32_t seq = get32(&original[24]);
    for (size_t i = 0; i < segments.size(); ++i) {
      const Bytes& s = segments[i];
      const bool last = i + 1 == segments.size();
      SCOPED_TRACE(std::to_string(c.payload) + " segment " + std::to_string(i));
      EXPECT_TRUE(sound(s));
      EXPECT_EQ(get16(&s[2]), s.size());
      EXPECT_LE(s.size(), 40u + c.mss);
      EXPECT_EQ(get16(&s[4]), uint16_t(0x1234 + i));
      EXPECT_EQ(get32(&s[24]), seq + uint32_t(joined.size()));
      EXPECT_EQ(s[33] & kAck, kAck);
      EXPECT_EQ((s[33] & (kFin | kPsh)) != 0, last);
      EXPECT_EQ((s[33] & kCwr) != 0, i == 0);
      // Everything else in the headers is the original's.
      EXPECT_TRUE(std::equal(s.begin() + 12, s.begin() + 24, original.begin() + 12));
      joined.insert(joined.end(), s.begin() + 40, s.end());
    }
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), original.begin() + 40, original.end()));
    EXPECT_EQ(joined.size(), c.payload);
  }
}

TEST(Offload, RefusesDescriptionsThatDoNotFitThePacket) {
  struct Case {
    const char* what;
    Offload offload;
    size_t cutTo;  // the packet's bytes kept; 0: all
  };
  Offload past;
  past.flags = Offload::kNeedsChecksum;
  past.checksumStart = 20;
  past.checksumOffset = 519;  // the field's second byte one past the 540 bytes
  Offload wrap = past;
  wrap.checksumStart = 0xFFFF;
  wrap.checksumOffset = 0xFFF0;
  Offload udpCut;
  udpCut.gsoType = 5;
  udpCut.gsoSize = 100;
  Offload v6Cut = udpCut;
  v6Cut.gsoType = 4;
  Offload noSize;
  noSize.gsoType = Offload::kGsoTCPv4;
  Offload cut = noSize;
  cut.gsoSize = 100;
  const Case cases[] = {
      {"checksum past the end", past, 0}, {"checksum start past the end", wrap, 0},
      {"UDP segmentation", udpCut, 0},    {"IPv6 segmentation", v6Cut, 0},
      {"no segment size", noSize, 0},     {"IP length past the bytes", cut, 300},
      {"headers only in part", cut, 30}};
  for (const auto& c : cases) {
    Bytes p = packet(6, 500);
    if (c.cutTo) p.resize(c.cutTo);
    bool ok = true;
    EXPECT_TRUE(finish(p, c.offload, &ok).empty()) << c.what;
    EXPECT_FALSE(ok) << c.what;
  }
  Bytes udp = packet(17, 500);
  Offload tcpCutOfUdp = cut;
  bool ok = true;
  EXPECT_TRUE(finish(udp, tcpCutOfUdp, &ok).empty());
  EXPECT_FALSE(ok);
}

}  // namespace
