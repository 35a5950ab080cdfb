#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace brevant {

// What a checked IPv4 packet holds. Offsets index the packet bytes; numbers are host order.
struct Ipv4Info {
  size_t header_length = 0;  // IHL * 4
  size_t total_length = 0;   // from the header; never more than the bytes given
  uint16_t id = 0;
  bool dont_fragment = false;
  bool more_fragments = false;
  size_t fragment_offset = 0;  // in bytes
  uint8_t ttl = 0;
  uint8_t protocol = 0;
  uint32_t src = 0;
  uint32_t dst = 0;
  size_t payload_offset = 0;  // == header_length
  size_t payload_length = 0;  // total_length - header_length

  // Transport header, present in unfragmented packets and first fragments.
  bool has_transport = false;
  size_t transport_header_length = 0;  // 20+ for TCP, 8 for UDP and ICMP
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  size_t udp_length = 0;  // UDP length field

  bool is_fragment() const { return more_fragments || fragment_offset != 0; }
};

// Checks a network packet before anything else reads it: version 4, IHL >= 5, header and
// total length within the data, offset plus length within 65535, and, for an unfragmented
// packet or a first fragment of TCP, UDP or ICMP, a whole transport header whose own length
// fields fit. Bytes past the total length are ignored. On failure, *error says why.
std::optional<Ipv4Info> parse_ipv4(std::span<const uint8_t> packet, std::string* error = nullptr);

// One's-complement sum over bytes, folded but not inverted; start lets sums be chained.
uint32_t checksum_add(std::span<const uint8_t> bytes, uint32_t start = 0);
uint16_t checksum_fold(uint32_t sum);

// Recomputes the IP header checksum, and the TCP, UDP or ICMP checksum of an unfragmented
// packet (a fragment's transport checksum covers bytes it does not hold). Returns false
// and leaves the bytes unchanged when the packet does not pass parse_ipv4.
bool update_checksums(std::span<uint8_t> packet);

// True when every checksum update_checksums would write is already right (a UDP checksum
// of 0, "none", counts as right).
bool verify_checksums(std::span<const uint8_t> packet);

inline uint16_t read_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t read_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void write_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void write_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace brevant
