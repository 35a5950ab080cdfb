// Packets into both DNS sides of the filter (the output filter's query side and the input
// filter's answer side) with DNS rules, pending domain rules and white rules loaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace sim = platform::kern::sim;
using namespace tamsel::abi;

namespace {

void white(uint32_t u, const char* rule) {
  white_rule_config w{};
  std::strcpy(w.rule, rule);
  sim::ctl_setopt(u, KCTL_ADD_WHITE_RULE, &w, sizeof w);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint32_t unit = [] {
    sim::use_virtual_time(true);
    uint32_t u = 0;
    if (tamsel::tamsel_start() != 0 || sim::ctl_connect(&u) != 0) return 0u;
    dns_rule_config d{};
    std::strcpy(d.server, "192.0.2.53");
    std::strcpy(d.domains, "*.example.test");
    sim::ctl_setopt(u, KCTL_SET_DNS_RULE_FOR_SRV, &d, sizeof d);
    white(u, "*|192.0.2.53|53|udp");
    white(u, "game|*.example.test|*|udp");
    uint32_t res = 0x350200c0;
    sim::ctl_setopt(u, KCTL_SET_EDNS_SERVER, &res, 4);
    for (int o : {KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT})
      sim::ctl_setopt(u, o, nullptr, 0);
    // The filter stays set up for the whole run; it is taken down at exit so that nothing
    // it holds counts as leaked.
    std::atexit([] {
      for (uint32_t u = 1; u < 4; ++u) sim::ctl_disconnect(u);
      tamsel::tamsel_stop();
    });
    return u;
  }();
  if (!unit) return 0;
  std::vector<uint8_t> p(data, data + size);
  sim::ip_output(p);
  sim::ip_input(p);
  sim::clear_records();
  sim::clear_log();
  return 0;
}
