#pragma once

#include <deque>

#include "Brevant/Records.h"

namespace brevant {

// The DNS, black and white rule lists of one rule manager. A rule added later is tried
// earlier, so a builder that adds the service's rules from last to first keeps the
// service's order. Rules are added before matching starts; matching only reads and may
// run on several threads at once.
class RuleSet {
 public:
  void add_dns(dns_rule rule) { dns_.push_front(std::move(rule)); }
  void add_black(traffic_rule rule) { black_.push_front(std::move(rule)); }
  void add_white(traffic_rule rule) { white_.push_front(std::move(rule)); }

  // In matching order.
  const std::deque<dns_rule>& dns_rules() const { return dns_; }
  const std::deque<traffic_rule>& black_rules() const { return black_; }
  const std::deque<traffic_rule>& white_rules() const { return white_; }

 private:
  std::deque<dns_rule> dns_;
  std::deque<traffic_rule> black_;
  std::deque<traffic_rule> white_;
};

}  // namespace brevant
