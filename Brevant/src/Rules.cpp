#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "Brevant/Brevant.h"
#include "Brevant/Log.h"

namespace brevant {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string_view strip_final_dot(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  return s;
}

std::optional<uint32_t> parse_addr(std::string_view s) {
  uint32_t addr = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (s.empty() || s.front() != '.') return std::nullopt;
      s.remove_prefix(1);
    }
    size_t n = 0;
    while (n < s.size() && n < 3 && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0) return std::nullopt;
    unsigned v = 0;
    std::from_chars(s.data(), s.data() + n, v);
    if (v > 255) return std::nullopt;
    addr = (addr << 8) | v;
    s.remove_prefix(n);
  }
  if (!s.empty()) return std::nullopt;
  return addr;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// 1..65535, else nullopt.
std::optional<uint16_t> parse_port(std::string_view s) {
  s = trim(s);
  if (s.empty() || s.size() > 5) return std::nullopt;
  unsigned v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size() || v == 0 || v > 65535) return std::nullopt;
  return static_cast<uint16_t>(v);
}

std::string dotted(uint32_t a) {
  return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xFF) + '.' +
         std::to_string((a >> 8) & 0xFF) + '.' + std::to_string(a & 0xFF);
}

std::string cut(std::string s) {
  if (s.size() > 255) s.resize(255);
  return s;
}

}  // namespace

// The plain in-order walk the index must agree with.
bool first_match_walk(const std::deque<traffic_rule>& list, const ip_session_info& session,
                      traffic_rule* matched) {
  for (const traffic_rule& r : list) {
    if (traffic_rule_matches(r, session)) {
      if (matched) *matched = r;
      return true;
    }
  }
  return false;
}

bool domain_matches(std::string_view rule, std::string_view name) {
  rule = strip_final_dot(rule);
  name = strip_final_dot(name);
  if (rule == "*") return true;
  if (rule.empty() || name.size() < rule.size()) return false;
  size_t at = name.size() - rule.size();
  if (!iequals(name.substr(at), rule)) return false;
  // "game.example" must not match "xgame.example": only whole labels count.
  return at == 0 || name[at - 1] == '.';
}

bool traffic_rule_matches(const traffic_rule& r, const ip_session_info& s) {
  if (!s.parsed) return false;
  if (r.protocol != kProtoAny && r.protocol != s.protocol) return false;
  if (!r.domain.empty() && r.domain != "*") {
    if (s.domain.empty() || !domain_matches(r.domain, s.domain)) return false;
  }
  if (s.dst_ip < r.range.first || s.dst_ip > r.range.last) return false;
  if (!r.areas.empty() && std::find(r.areas.begin(), r.areas.end(), s.area_id) == r.areas.end())
    return false;
  if (!r.isps.empty() && std::find(r.isps.begin(), r.isps.end(), s.isp_id) == r.isps.end())
    return false;
  if (s.protocol == kProtoTCP || s.protocol == kProtoUDP) {
    uint16_t port = ntohs(s.dst_port);
    if (port < r.port_low || port > r.port_high) return false;
  }
  return true;
}

bool is_session_match_black_rule(const RuleSet& rules, const ip_session_info& session,
                                 traffic_rule* matched) {
  const traffic_rule* r = rules.black_index().first_match(session);
  if (r && matched) *matched = *r;
  return r != nullptr;
}

bool is_session_match_white_rule(const RuleSet& rules, const ip_session_info& session,
                                 traffic_rule* matched) {
  const traffic_rule* r = rules.white_index().first_match(session);
  if (r && matched) *matched = *r;
  return r != nullptr;
}

bool is_domain_match_dns_rule(const RuleSet& rules, std::string_view domain, dns_rule* matched) {
  if (domain.empty()) return false;
  for (const dns_rule& r : rules.dns_rules()) {
    if (domain_matches(r.domain, domain)) {
      if (matched) *matched = r;
      return true;
    }
  }
  return false;
}

traffic_rule init_all_matched_traffic_rule() { return traffic_rule{}; }

bool set_ip_mask_range_with_str(ip_mask_range& range, std::string_view text) {
  text = trim(text);
  if (size_t dash = text.find('-'); dash != std::string_view::npos) {
    auto first = parse_addr(text.substr(0, dash));
    auto last = parse_addr(text.substr(dash + 1));
    if (!first || !last || *first > *last) return false;
    range = {*first, *last};
    return true;
  }
  if (size_t slash = text.find('/'); slash != std::string_view::npos) {
    auto base = parse_addr(text.substr(0, slash));
    std::string_view bits = text.substr(slash + 1);
    unsigned n = 0;
    auto [ptr, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), n);
    if (!base || bits.empty() || bits.size() > 2 || ec != std::errc() ||
        ptr != bits.data() + bits.size() || n > 32)
      return false;
    uint32_t mask = n == 0 ? 0 : ~uint32_t{0} << (32 - n);
    range = {*base & mask, (*base & mask) | ~mask};
    return true;
  }
  auto addr = parse_addr(text);
  if (!addr) return false;
  range = {*addr, *addr};
  return true;
}

bool set_port_range_with_str(traffic_rule& rule, std::string_view text) {
  rule.port_low = 0;
  rule.port_high = 65535;
  std::string_view t = trim(text);
  if (t.empty() || t == "*" || t == "0") return true;
  if (size_t dash = t.find('-'); dash != std::string_view::npos) {
    auto low = parse_port(t.substr(0, dash));
    auto high = parse_port(t.substr(dash + 1));
    if (!low || !high) {
      log_message(LogLevel::Error, "bad port range, rule takes any port: " + std::string(t));
      return false;
    }
    if (*low <= *high) {
      rule.port_low = *low;
      rule.port_high = *high;
    }
    return true;
  }
  auto port = parse_port(t);
  if (!port) {
    log_message(LogLevel::Error, "bad port, rule takes any port: " + std::string(t));
    return false;
  }
  rule.port_low = rule.port_high = *port;
  return true;
}

std::optional<dns_rule> init_dns_rule(std::string_view domain, std::string_view server) {
  auto addr = parse_addr(trim(server));
  if (!addr) return std::nullopt;
  dns_rule r;
  r.domain.assign(domain.substr(0, 255));
  r.dns_server = *addr;
  return r;
}

void add_dns_rule(RuleSet& rules, dns_rule rule) { rules.add_dns(std::move(rule)); }
void add_black_rule(RuleSet& rules, traffic_rule rule) { rules.add_black(std::move(rule)); }
void add_white_rule(RuleSet& rules, traffic_rule rule) { rules.add_white(std::move(rule)); }

std::string dns_rule_string(const dns_rule& r) {
  return cut("id=" + std::to_string(r.rule_id) + " traffic=" + std::to_string(r.traffic_id) +
             " domain=" + r.domain + " server=" + dotted(r.dns_server));
}

std::string traffic_rule_string(const traffic_rule& r) {
  std::string proto = r.protocol == kProtoAny    ? "*"
                      : r.protocol == kProtoTCP  ? "tcp"
                      : r.protocol == kProtoUDP  ? "udp"
                      : r.protocol == kProtoICMP ? "icmp"
                                                 : std::to_string(r.protocol);
  std::string s = "id=" + std::to_string(r.rule_id) + " traffic=" + std::to_string(r.traffic_id) +
                  " proto=" + proto + " dst=" + (r.domain.empty() ? std::string("-") : r.domain) +
                  " range=" + dotted(r.range.first) + "-" + dotted(r.range.last) +
                  " port=" + std::to_string(r.port_low) + "-" + std::to_string(r.port_high);
  auto ids = [&](const char* name, const std::vector<uint16_t>& v) {
    if (v.empty()) return;
    s += std::string(" ") + name + "=";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
  };
  ids("areas", r.areas);
  ids("isps", r.isps);
  return cut(std::move(s));
}

}  // namespace brevant
