// Session extraction and rule matching on arbitrary packet bytes, and query redirection.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Brevant/Brevant.h"
#include "Brevant/Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static brevant::DomainTable domains(64);
  static brevant::RuleSet rules = [] {
    brevant::RuleSet r;
    auto any = brevant::init_all_matched_traffic_rule();
    any.protocol = brevant::kProtoICMP;
    brevant::add_white_rule(r, any);
    auto named = brevant::init_all_matched_traffic_rule();
    named.domain = "game.example";
    named.port_low = 27000;
    named.port_high = 27050;
    named.areas = {1, 2};
    brevant::add_black_rule(r, named);
    brevant::add_dns_rule(r, *brevant::init_dns_rule("example", "192.0.2.53"));
    return r;
  }();
  domains.record(0xC0000201, "game.example");

  std::span<const uint8_t> packet(data, size);
  for (int direction : {brevant::kDirectionOutgoing, brevant::kDirectionIncoming}) {
    brevant::ip_session_info s;
    bool parsed = brevant::get_ip_session_info(&domains, s, packet, direction);
    if (parsed != s.parsed) __builtin_trap();
    brevant::traffic_rule tr;
    brevant::dns_rule dr;
    brevant::is_session_match_black_rule(rules, s, &tr);
    brevant::is_session_match_white_rule(rules, s, &tr);
    brevant::is_domain_match_dns_rule(rules, s.domain, &dr);
  }
  std::vector<uint8_t> copy(data, data + size);
  brevant::DnsRedirectTable redirects;
  if (brevant::process_dns_query_packet(redirects, 0x08080808, copy)) {
    if (!brevant::verify_checksums(copy)) __builtin_trap();
  } else if (copy != std::vector<uint8_t>(data, data + size)) {
    __builtin_trap();
  }
  return 0;
}
