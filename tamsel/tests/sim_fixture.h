// A started filter on the simulated kernel, reset between tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace tamsel::testing {

namespace sim = platform::kern::sim;

class SimFilter : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Connects a client and remembers its unit.
  void Attach();
  int SetOpt(int opt, const void* data, size_t len) {
    return sim::ctl_setopt(unit_, opt, data, len);
  }
  int SetOpt(int opt, const std::string& s) { return SetOpt(opt, s.data(), s.size()); }
  int AddWhite(const std::string& rule, int offset = 0, int level = 0);
  bool HasLog(const std::string& needle) const;
  // Texts of the type-1 records, and the records of a type, in order.
  std::vector<std::string> TextRecords() const;
  std::vector<std::vector<uint8_t>> Records(uint32_t type) const;
  void Switch(std::initializer_list<int> opts);

  uint32_t unit_ = 0;
  bool started_ = false;
};

}  // namespace tamsel::testing
