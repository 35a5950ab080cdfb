// DNS answers: the first byte picks raw message parsing or whole-packet answer processing
// (source restore, learning, lookups of what was learned).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Brevant/Brevant.h"
#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  if (data[0] & 1) {
    auto msg = brevant::parse_dns_message(rest);
    if (msg) {
      if (msg->end > rest.size()) __builtin_trap();
      for (const auto* section : {&msg->answers, &msg->authority, &msg->additional})
        for (const auto& r : *section)
          if (r.rdata_offset + r.rdlength > rest.size() || r.name.size() > 255) __builtin_trap();
    }
    return 0;
  }
  brevant::DomainTable domains(16);
  brevant::DnsRedirectTable redirects;
  std::vector<uint8_t> packet(rest.begin(), rest.end());
  // Prime a redirect for whatever the packet claims as its client, so restores run too.
  if (auto info = brevant::parse_ipv4(packet);
      info && info->has_transport && info->payload_offset + 10 <= packet.size())
    redirects.remember(info->dst, info->dst_port,
                       brevant::read_be16(packet.data() + info->payload_offset + 8), 0xC6120001);
  if (brevant::process_dns_answer_packet(redirects, domains, packet, data[0] & 2)) {
    if (!brevant::verify_checksums(packet)) __builtin_trap();
  }
  size_t learned = brevant::record_ip_to_domain_from_dns_answer_packet(domains, packet);
  if (learned > 0 && domains.size() == 0) __builtin_trap();
  for (uint32_t addr : {0u, 0x01020304u, 0xCB00710Au})
    if (brevant::domain_of_ip(domains, addr).size() > 255) __builtin_trap();
  return 0;
}
