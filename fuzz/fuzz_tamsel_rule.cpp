// Rule texts and DNS rule texts into the filter's rule reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace sim = platform::kern::sim;
using namespace tamsel::abi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    sim::use_virtual_time(true);
    return tamsel::tamsel_start() == 0;
  }();
  if (!started) return 0;
  uint32_t unit = 0;
  if (sim::ctl_connect(&unit) != 0) return 0;
  // Black rule: the bytes as they are (up to 1024); white and DNS rules: the bytes as their text.
  std::vector<uint8_t> text(data, data + (size > 1024 ? 1024 : size));
  sim::ctl_setopt(unit, KCTL_ADD_BLACK_RULE, text.empty() ? nullptr : text.data(), text.size());
  white_rule_config w{};
  w.offset = size ? data[0] % 17 : 0;
  if (size) std::memcpy(w.rule, data, size < sizeof w.rule ? size : sizeof w.rule);
  sim::ctl_setopt(unit, KCTL_ADD_WHITE_RULE, &w, sizeof w);
  dns_rule_config d{};
  std::strcpy(d.server, "192.0.2.53");
  if (size) std::memcpy(d.domains, data, size < sizeof d.domains ? size : sizeof d.domains);
  sim::ctl_setopt(unit, KCTL_SET_DNS_RULE_FOR_SRV, &d, sizeof d);
  sim::ctl_disconnect(unit);
  sim::clear_log();
  return 0;
}
