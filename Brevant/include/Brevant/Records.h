#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brevant {

// Longest domain text a traffic rule keeps; longer texts are cut.
inline constexpr size_t kRuleDomainMax = 64;
// At most this many area ids and ISP ids per traffic rule.
inline constexpr size_t kRuleIdListMax = 64;

inline constexpr int kProtoAny = -1;
inline constexpr int kProtoICMP = 1;
inline constexpr int kProtoTCP = 6;
inline constexpr int kProtoUDP = 17;

inline constexpr int kDirectionIncoming = 1;
inline constexpr int kDirectionOutgoing = 2;

// One packet, as the rules see it. Addresses are host order; ports are network order, as
// they stand in the packet (use ntohs for the number).
struct ip_session_info {
  bool parsed = false;  // false: the packet was not a well-formed IPv4 packet
  uint32_t src_ip = 0;
  uint32_t dst_ip = 0;
  uint16_t src_port = 0;  // network order; 0 for ICMP and non-first fragments
  uint16_t dst_port = 0;  // network order
  uint8_t protocol = 0;
  bool is_dns = false;  // outgoing DNS query or incoming DNS answer
  uint16_t dns_id = 0;  // transaction id when is_dns
  std::string domain;   // question name for DNS, else the learned name of dst_ip, or ""
  uint16_t isp_id = 0;  // set by the caller from the address database
  uint16_t area_id = 0;
};

// Inclusive range of host-order IPv4 addresses.
struct ip_mask_range {
  uint32_t first = 0;
  uint32_t last = 0xFFFFFFFFu;
};

struct dns_rule {
  int64_t rule_id = 0;      // word 0
  int64_t traffic_id = 0;   // word 1: key of the flow group that carries the queries
  std::string domain;       // without a leading "*."; "*" matches every name
  uint32_t dns_server = 0;  // host order
};

struct traffic_rule {
  int64_t rule_id = 0;     // word 0
  int64_t traffic_id = 0;  // word 1
  std::string domain;      // at most kRuleDomainMax bytes, without "*."; empty = any
  int protocol = kProtoAny;
  std::vector<uint16_t> areas;  // empty = any area
  std::vector<uint16_t> isps;   // empty = any ISP
  ip_mask_range range;
  uint16_t port_low = 0;  // host order, inclusive; 0..65535 = any port
  uint16_t port_high = 65535;
};

}  // namespace brevant
