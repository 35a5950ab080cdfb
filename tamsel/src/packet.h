// Bounded views of IPv4 packets and their checksums.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel {

struct ip_view {
  uint8_t* p;
  size_t len;  // bytes of the packet (total length, never more than the buffer)
  size_t hl;   // header length
  uint8_t proto;
  bool fragment;  // not the first fragment, or more to come
};

// A plain IPv4 header (version 4, IHL >= 5) inside the bytes; len becomes the IP total length
// when that lies within the bytes. False when unusable.
bool ip_parse(uint8_t* p, size_t n, ip_view* out);
inline uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void wr16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
uint16_t inet_checksum(const uint8_t* p, size_t n, uint32_t sum = 0);
// IP header checksum, then the ICMP, TCP or UDP checksum of an unfragmented packet (a UDP
// checksum of 0 goes out as 0xFFFF). False when the packet is not a usable IPv4 packet.
bool update_ip_cksum(uint8_t* p, size_t n);

}  // namespace tamsel
