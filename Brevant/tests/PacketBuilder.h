#pragma once

// Small packet and DNS message builders for the rule kit's tests.

#include <cstdint>
#include <string>
#include <vector>

namespace testpkt {

using Bytes = std::vector<uint8_t>;

uint32_t ip(const char* dotted);

// IPv4 packet with checksums filled in; flags_offset is the raw flags/fragment field.
Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes& payload, uint16_t id = 1,
           uint16_t flags_offset = 0);
Bytes udp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, const Bytes& payload);
Bytes tcp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport);
Bytes icmp_echo(uint32_t src, uint32_t dst);

// DNS wire pieces.
Bytes dns_name(const std::string& dotted);
Bytes dns_query(uint16_t id, const std::string& name, uint16_t type = 1);

// A response to name with a compressed CNAME chain name -> cname1 -> ... and A records
// for the last name of the chain.
Bytes dns_answer(uint16_t id, const std::string& name, const std::vector<std::string>& cnames,
                 const std::vector<uint32_t>& addresses);

}  // namespace testpkt
