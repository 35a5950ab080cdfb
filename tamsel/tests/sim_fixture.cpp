#include "sim_fixture.h"

namespace tamsel::testing {

void SimFilter::SetUp() {
  sim::reset();
  sim::use_virtual_time(true);
  ASSERT_EQ(tamsel_start(), 0);
  started_ = true;
}

void SimFilter::TearDown() {
  sim::set_enqueue_full(false);
  if (unit_) sim::ctl_disconnect(unit_);
  unit_ = 0;
  if (started_) {
    EXPECT_EQ(tamsel_stop(), 0);
  }
  started_ = false;
  EXPECT_TRUE(sim::lock_violations().empty());
  EXPECT_EQ(sim::live_mutexes(), 0);
}

void SimFilter::Attach() { ASSERT_EQ(sim::ctl_connect(&unit_), 0); }

int SimFilter::AddWhite(const std::string& rule, int offset, int level) {
  abi::white_rule_config c{};
  c.offset = offset;
  c.level = level;
  std::strncpy(c.rule, rule.c_str(), sizeof c.rule - 1);
  return SetOpt(abi::KCTL_ADD_WHITE_RULE, &c, sizeof c);
}

bool SimFilter::HasLog(const std::string& needle) const {
  for (auto& l : sim::log_lines())
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace tamsel::testing
