#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include "Brevant/Records.h"
#include "Brevant/RuleIndex.h"

namespace brevant {

// The DNS, black and white rule lists of one rule manager. A rule added later is tried
// earlier, so a builder that adds the service's rules from last to first keeps the
// service's order. Rules are added before matching starts; matching only reads and may
// run on several threads at once. The black and white lists are indexed on the first
// match after the last add.
class RuleSet {
 public:
  RuleSet() = default;
  RuleSet(const RuleSet& other) : dns_(other.dns_), black_(other.black_), white_(other.white_) {}
  RuleSet& operator=(const RuleSet& other) {
    if (this != &other) {
      dns_ = other.dns_;
      black_ = other.black_;
      white_ = other.white_;
      invalidate();
    }
    return *this;
  }

  void add_dns(dns_rule rule) {
    dns_.push_front(std::move(rule));
    generation_.fetch_add(1, std::memory_order_acq_rel);
  }
  void add_black(traffic_rule rule) {
    black_.push_front(std::move(rule));
    invalidate();
  }
  void add_white(traffic_rule rule) {
    white_.push_front(std::move(rule));
    invalidate();
  }

  // Changes with every add or assignment, so that verdicts kept per flow can tell they are
  // stale.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // In matching order.
  const std::deque<dns_rule>& dns_rules() const { return dns_; }
  const std::deque<traffic_rule>& black_rules() const { return black_; }
  const std::deque<traffic_rule>& white_rules() const { return white_; }

  const RuleIndex& black_index() const {
    build();
    return *black_index_;
  }
  const RuleIndex& white_index() const {
    build();
    return *white_index_;
  }

 private:
  void invalidate() {
    generation_.fetch_add(1, std::memory_order_acq_rel);
    indexed_.store(false, std::memory_order_relaxed);
    black_index_.reset();
    white_index_.reset();
  }
  void build() const {
    if (indexed_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(index_mutex_);
    if (indexed_.load(std::memory_order_relaxed)) return;
    black_index_ = std::make_unique<RuleIndex>(black_);
    white_index_ = std::make_unique<RuleIndex>(white_);
    indexed_.store(true, std::memory_order_release);
  }

  std::deque<dns_rule> dns_;
  std::deque<traffic_rule> black_;
  std::deque<traffic_rule> white_;
  mutable std::mutex index_mutex_;
  mutable std::atomic<bool> indexed_{false};
  std::atomic<uint64_t> generation_{0};
  mutable std::unique_ptr<RuleIndex> black_index_;
  mutable std::unique_ptr<RuleIndex> white_index_;
};

}  // namespace brevant
