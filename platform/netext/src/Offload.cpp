#include "platform/netext/Offload.h"

#include <bit>
#include <cstring>
#include <vector>

namespace platform::netext {

namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

uint16_t read16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void write16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void write32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// The folded one's-complement sum of the bytes as big-endian 16-bit words, added to `sum`. Words
// are added eight bytes at a time in the machine's order; the sum is order-independent up to one
// swap of its two bytes at the end.
uint16_t onesSum(const uint8_t* p, size_t n, uint16_t sum) {
  uint64_t acc = 0;
  auto add = [&acc](uint64_t w) {
    acc += w;
    if (acc < w) ++acc;
  };
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    add(w);
  }
  if (n) {
    uint8_t tail[8] = {};
    std::memcpy(tail, p, n);
    uint64_t w;
    std::memcpy(&w, tail, 8);
    add(w);
  }
  while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
  uint16_t folded = uint16_t(acc);
  if constexpr (std::endian::native == std::endian::little)
    folded = uint16_t(folded << 8 | folded >> 8);
  uint32_t total = uint32_t(folded) + sum;
  total = (total & 0xFFFF) + (total >> 16);
  return uint16_t(total);
}

// Fills the TCP or UDP checksum of an IPv4 packet whose headers were checked by the caller.
void transportChecksum(uint8_t* p, size_t ihl, size_t total, uint8_t protocol) {
  const size_t field = protocol == 6 ? 16 : 6;
  uint8_t* l4 = p + ihl;
  const size_t l4len = total - ihl;
  write16(l4 + field, 0);
  uint8_t pseudo[12];
  std::memcpy(pseudo, p + 12, 8);
  pseudo[8] = 0;
  pseudo[9] = protocol;
  write16(pseudo + 10, uint16_t(l4len));
  uint16_t sum = onesSum(l4, l4len, onesSum(pseudo, sizeof pseudo, 0));
  uint16_t check = uint16_t(~sum);
  if (protocol == 17 && check == 0) check = 0xFFFF;
  write16(l4 + field, check);
}

void ipChecksum(uint8_t* p, size_t ihl) {
  write16(p + 10, 0);
  write16(p + 10, uint16_t(~onesSum(p, ihl, 0)));
}

bool segmentTCPv4(std::span<uint8_t> packet, uint16_t mss,
                  const std::function<void(std::span<const uint8_t>)>& each) {
  uint8_t* p = packet.data();
  if (packet.size() < 40 || (p[0] >> 4) != 4 || p[9] != 6 || mss == 0) return false;
  const size_t ihl = size_t(p[0] & 0x0F) * 4;
  const size_t total = read16(p + 2);
  if (ihl < 20 || total > packet.size() || total < ihl + 20) return false;
  const size_t thl = size_t(p[ihl + 12] >> 4) * 4;
  if (thl < 20 || ihl + thl > total) return false;
  const size_t header = ihl + thl, payload = total - header;
  const uint32_t seq = read32(p + ihl + 4);
  const uint16_t id = read16(p + 4);
  const uint8_t flags = p[ihl + 13];
  constexpr uint8_t kFin = 0x01, kPsh = 0x08, kCwr = 0x80;
  thread_local std::vector<uint8_t> segment;
  segment.resize(header + mss);
  size_t offset = 0;
  for (uint16_t i = 0;; ++i) {
    const size_t length = std::min<size_t>(mss, payload - offset);
    const bool last = offset + length >= payload;
    uint8_t* s = segment.data();
    std::memcpy(s, p, header);
    std::memcpy(s + header, p + header + offset, length);
    write16(s + 2, uint16_t(header + length));
    write16(s + 4, uint16_t(id + i));
    ipChecksum(s, ihl);
    write32(s + ihl + 4, seq + uint32_t(offset));
    uint8_t f = flags;
    if (!last) f &= uint8_t(~(kFin | kPsh));
    if (i > 0) f &= uint8_t(~kCwr);
    s[ihl + 13] = f;
    transportChecksum(s, ihl, header + length, 6);
    each(std::span<const uint8_t>(s, header + length));
    offset += length;
    if (last) break;
  }
  return true;
}

}  // namespace

bool fillTransportChecksum(std::span<uint8_t> packet) {
  uint8_t* p = packet.data();
  if (packet.size() < 20 || (p[0] >> 4) != 4) return false;
  const size_t ihl = size_t(p[0] & 0x0F) * 4;
  const size_t total = read16(p + 2);
  const uint8_t protocol = p[9];
  if (ihl < 20 || total > packet.size() || (protocol != 6 && protocol != 17)) return false;
  if (total < ihl + (protocol == 6 ? 20u : 8u)) return false;
  transportChecksum(p, ihl, total, protocol);
  return true;
}

bool finishOffloaded(std::span<uint8_t> packet, const Offload& offload,
                     const std::function<void(std::span<const uint8_t>)>& each) {
  if (offload.segmented()) {
    if ((offload.gsoType & uint8_t(~Offload::kGsoEcn)) != Offload::kGsoTCPv4) return false;
    return segmentTCPv4(packet, offload.gsoSize, each);
  }
  if (offload.needsChecksum()) {
    const size_t start = offload.checksumStart, field = start + offload.checksumOffset;
    if (field + 2 > packet.size() || field < start) return false;
    // The field holds the pseudo-header's sum: it is part of what is summed.
    uint16_t check = uint16_t(~onesSum(packet.data() + start, packet.size() - start, 0));
    if (check == 0) check = 0xFFFF;
    write16(packet.data() + field, check);
  }
  each(packet);
  return true;
}

}  // namespace platform::netext
