#pragma once
// Index over one traffic rule list, so a packet is matched against the few rules that can
// apply to it instead of the whole list. The answer is always the one the in-order walk
// gives: every candidate is checked with traffic_rule_matches and the earliest one wins.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Brevant/Records.h"

namespace brevant {

class RuleIndex {
 public:
  // rules must outlive the index and stay unchanged while it is used.
  explicit RuleIndex(const std::deque<traffic_rule>& rules);

  // The first rule of the list (in list order) that matches session, or nullptr.
  const traffic_rule* first_match(const ip_session_info& session) const;

 private:
  struct Range {
    uint32_t first;
    uint32_t last;
    uint32_t index;
  };
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using List = std::vector<uint32_t>;  // rule positions, ascending

  // Lowers best to the first position in list that matches, if below best.
  void scan(const List& list, const ip_session_info& s, uint32_t& best) const;

  const std::deque<traffic_rule>& rules_;
  std::unordered_map<std::string, List, Hash, std::equal_to<>> by_domain_;
  std::unordered_map<uint32_t, List> by_address_;
  std::unordered_map<uint32_t, List> by_port_;  // (protocol << 16) | port
  std::vector<Range> by_width_[32];             // ranges of 2^k..2^(k+1)-1 more addresses
  List rest_;                                   // everything walked for every packet
};

}  // namespace brevant
