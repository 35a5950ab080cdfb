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

namespace tamsel::testing {

std::vector<std::string> SimFilter::TextRecords() const {
  std::vector<std::string> out;
  for (auto& r : sim::records())
    if (r.bytes.size() >= 4 && r.bytes[0] == abi::K2U_LOG)
      out.emplace_back(r.bytes.begin() + 4, r.bytes.end());
  return out;
}

std::vector<std::vector<uint8_t>> SimFilter::Records(uint32_t type) const {
  std::vector<std::vector<uint8_t>> out;
  for (auto& r : sim::records()) {
    uint32_t t;
    if (r.bytes.size() < 4) continue;
    std::memcpy(&t, r.bytes.data(), 4);
    if (t == type) out.emplace_back(r.bytes.begin() + 4, r.bytes.end());
  }
  return out;
}

void SimFilter::Switch(std::initializer_list<int> opts) {
  for (int o : opts) ASSERT_EQ(SetOpt(o, nullptr, 0), 0);
}

}  // namespace tamsel::testing
