#include "PacketNat.h"

#include <netinet/in.h>

namespace standin::relay {

namespace {
uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Incremental update of a one's-complement checksum for a changed 32-bit word (RFC 1624:
// HC' = ~(~HC + ~m + m')).
void adjust(uint8_t* at, uint32_t from, uint32_t to) {
  uint32_t sum = static_cast<uint16_t>(~(at[0] << 8 | at[1]));
  sum += static_cast<uint16_t>(~(from >> 16));
  sum += static_cast<uint16_t>(~from);
  sum += to >> 16;
  sum += to & 0xFFFF;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t c = static_cast<uint16_t>(~sum);
  at[0] = static_cast<uint8_t>(c >> 8);
  at[1] = static_cast<uint8_t>(c);
}
}  // namespace

bool rewriteAddress(std::vector<uint8_t>& p, bool source, uint32_t to) {
  if (p.size() < 20 || (p[0] >> 4) != 4) return false;
  size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
  if (ihl < 20 || p.size() < ihl) return false;
  uint8_t* field = p.data() + (source ? 12 : 16);
  uint32_t from = load32(field);
  store32(field, to);
  adjust(p.data() + 10, from, to);
  bool firstPiece = ((p[6] & 0x1F) << 8 | p[7]) == 0;
  if (!firstPiece) return true;
  uint8_t* segment = p.data() + ihl;
  size_t room = p.size() - ihl;
  if (p[9] == IPPROTO_TCP && room >= 18) {
    adjust(segment + 16, from, to);
  } else if (p[9] == IPPROTO_UDP && room >= 8 && (segment[6] | segment[7]) != 0) {
    adjust(segment + 6, from, to);
    // 0 means "no checksum" in UDP; its one's-complement twin stands in.
    if ((segment[6] | segment[7]) == 0) segment[6] = segment[7] = 0xFF;
  }
  return true;
}

std::optional<uint32_t> NatTable::outside(const sockaddr_in& client, const std::string& clientText,
                                          const std::string& endpoint, uint32_t inner) {
  auto k = std::make_pair(clientText, inner);
  auto it = byInner_.find(k);
  if (it == byInner_.end()) {
    // Host addresses of the subnet in order, skipping the device's own.
    uint32_t candidate;
    do {
      candidate = subnet_.network() + 1 + next_;
      if (candidate >= subnet_.broadcast()) return std::nullopt;
      ++next_;
    } while (candidate == subnet_.address);
    it = byInner_.emplace(k, candidate).first;
  }
  Owner& o = byOutside_[it->second];
  o.client = client;
  o.endpoint = endpoint;
  o.inner = inner;
  return it->second;
}

const NatTable::Owner* NatTable::owner(uint32_t outside) const {
  auto it = byOutside_.find(outside);
  return it == byOutside_.end() ? nullptr : &it->second;
}

}  // namespace standin::relay
