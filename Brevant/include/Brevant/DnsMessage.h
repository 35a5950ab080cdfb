#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brevant {

inline constexpr uint16_t kDnsTypeA = 1;
inline constexpr uint16_t kDnsTypeCNAME = 5;
inline constexpr uint16_t kDnsTypeOPT = 41;

struct DnsQuestion {
  std::string name;  // dotted, without the final dot; "" for the root
  uint16_t type = 0;
  uint16_t klass = 0;
};

struct DnsRecord {
  std::string name;
  uint16_t type = 0;
  uint16_t klass = 0;
  uint32_t ttl = 0;
  size_t rdata_offset = 0;  // in the message
  uint16_t rdlength = 0;
  std::string target;    // CNAME: the canonical name
  uint32_t address = 0;  // A: host order
};

struct DnsMessage {
  uint16_t id = 0;
  uint16_t flags = 0;
  std::vector<DnsQuestion> questions;
  std::vector<DnsRecord> answers;
  std::vector<DnsRecord> authority;
  std::vector<DnsRecord> additional;
  size_t end = 0;  // offset just past the last record

  bool is_response() const { return flags & 0x8000; }
  uint8_t opcode() const { return (flags >> 11) & 0x0F; }
};

// Parses a whole DNS message (RFC 1035, with name compression). Rejects labels over 63
// bytes, names over 255, more than 16 pointer jumps, pointers that do not point backwards,
// counts that the remaining bytes cannot hold, and any read past the end. Bytes after the
// last record are allowed and left alone.
std::optional<DnsMessage> parse_dns_message(std::span<const uint8_t> msg,
                                            std::string* error = nullptr);

}  // namespace brevant
