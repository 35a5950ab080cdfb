#include "Brevant/RuleIndex.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <limits>

#include "Brevant/Brevant.h"

namespace brevant {
namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// The form domain_matches compares: one final dot dropped, lower case.
std::string domain_key(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

RuleIndex::RuleIndex(const std::deque<traffic_rule>& rules) : rules_(rules) {
  for (uint32_t i = 0; i < rules.size(); ++i) {
    const traffic_rule& r = rules[i];
    const bool any_domain = r.domain.empty() || r.domain == "*";
    if (!any_domain) {
      std::string key = domain_key(r.domain);
      // "*." matches every named session and "." none; both are rare enough to walk.
      if (key.empty() || key == "*")
        rest_.push_back(i);
      else
        by_domain_[std::move(key)].push_back(i);
      continue;
    }
    if (r.range.first > r.range.last) {
      rest_.push_back(i);
    } else if (r.range.first == r.range.last) {
      by_address_[r.range.first].push_back(i);
    } else if (r.range.first != 0 || r.range.last != 0xFFFFFFFFu) {
      int k = std::bit_width(r.range.last - r.range.first) - 1;
      by_width_[k].push_back({r.range.first, r.range.last, i});
    } else if ((r.protocol == kProtoTCP || r.protocol == kProtoUDP) && r.port_low == r.port_high) {
      // Only TCP and UDP sessions are held to the port, so only they can match here.
      by_port_[(static_cast<uint32_t>(r.protocol) << 16) | r.port_low].push_back(i);
    } else {
      rest_.push_back(i);
    }
  }
  for (auto& ranges : by_width_)
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
      return a.first != b.first ? a.first < b.first : a.index < b.index;
    });
}

void RuleIndex::scan(const List& list, const ip_session_info& s, uint32_t& best) const {
  for (uint32_t i : list) {
    if (i >= best) return;
    if (traffic_rule_matches(rules_[i], s)) {
      best = i;
      return;
    }
  }
}

const traffic_rule* RuleIndex::first_match(const ip_session_info& s) const {
  if (!s.parsed) return nullptr;
  uint32_t best = kNone;
  scan(rest_, s, best);

  if (!by_address_.empty())
    if (auto it = by_address_.find(s.dst_ip); it != by_address_.end()) scan(it->second, s, best);

  if (!by_port_.empty() && (s.protocol == kProtoTCP || s.protocol == kProtoUDP))
    if (auto it = by_port_.find((static_cast<uint32_t>(s.protocol) << 16) | ntohs(s.dst_port));
        it != by_port_.end())
      scan(it->second, s, best);

  for (int k = 0; k < 32; ++k) {
    const auto& ranges = by_width_[k];
    if (ranges.empty()) continue;
    // A range of this class starts at most 2^(k+1)-1 below any address it holds.
    uint64_t span = uint64_t{1} << (k + 1);
    uint32_t low = s.dst_ip >= span ? static_cast<uint32_t>(s.dst_ip - span + 1) : 0;
    auto it = std::lower_bound(ranges.begin(), ranges.end(), low,
                               [](const Range& r, uint32_t v) { return r.first < v; });
    for (; it != ranges.end() && it->first <= s.dst_ip; ++it)
      if (it->index < best && it->last >= s.dst_ip && traffic_rule_matches(rules_[it->index], s))
        best = it->index;
  }

  if (!by_domain_.empty() && !s.domain.empty()) {
    std::string name = domain_key(s.domain);
    // Every whole-label suffix of the name, the name itself first.
    for (size_t at = 0; at < name.size();) {
      if (auto it = by_domain_.find(std::string_view(name).substr(at)); it != by_domain_.end())
        scan(it->second, s, best);
      size_t dot = name.find('.', at);
      if (dot == std::string::npos) break;
      at = dot + 1;
    }
  }
  return best == kNone ? nullptr : &rules_[best];
}

}  // namespace brevant
