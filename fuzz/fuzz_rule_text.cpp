// Rule texts from the service: address ranges, port texts and DNS server texts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Brevant/Brevant.h"
#include "Brevant/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brevant::set_log_handler([](brevant::LogLevel, std::string_view) {});
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t bar = text.find('|');
  std::string_view a = text.substr(0, bar);
  std::string_view b = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);

  brevant::ip_mask_range range;
  if (brevant::set_ip_mask_range_with_str(range, a) && range.first > range.last) __builtin_trap();
  auto rule = brevant::init_all_matched_traffic_rule();
  brevant::set_port_range_with_str(rule, a);
  if (rule.port_low > rule.port_high) __builtin_trap();
  if (auto dns = brevant::init_dns_rule(b, a)) {
    if (dns->domain.size() > 255 || brevant::dns_rule_string(*dns).size() > 255) __builtin_trap();
  }
  rule.domain.assign(b.substr(0, brevant::kRuleDomainMax));
  if (brevant::traffic_rule_string(rule).size() > 255) __builtin_trap();
  (void)brevant::domain_matches(a, b);
  return 0;
}
