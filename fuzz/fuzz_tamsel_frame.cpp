// Datagrams on a server socket of the filter (type-401 frames and anything else), MSS reduction
// on, so that every inner packet goes through unwrap, MSS, checksums, report and injection.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint32_t unit = [] {
    sim::use_virtual_time(true);
    uint32_t u = 0;
    if (tamsel::tamsel_start() != 0 || sim::ctl_connect(&u) != 0) return 0u;
    white_rule_config w{};
    std::strcpy(w.rule, "*|*|*|*");
    sim::ctl_setopt(u, KCTL_ADD_WHITE_RULE, &w, sizeof w);
    for (int o : {KCTL_ENABLE_REDUCE_TCP_MSS, KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_INTERCEPT})
      sim::ctl_setopt(u, o, nullptr, 0);
    vni_off_entry e{};
    std::strcpy(e.entrance_ip, "203.0.113.10");
    e.port = 4000;
    sim::ctl_setopt(u, KCTL_SET_VNI_OFF_ENTRY, &e, sizeof e);
    // The filter stays set up for the whole run; it is taken down at exit so that nothing
    // it holds counts as leaked.
    std::atexit([] {
      for (uint32_t u = 1; u < 4; ++u) sim::ctl_disconnect(u);
      tamsel::tamsel_stop();
    });
    return u;
  }();
  if (!unit) return 0;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = 0x0a7100cb;  // 203.0.113.10
  from.sin_port = 0xa00f;             // 4000
  // Raw bytes, and the same bytes as the inner packet of a well-formed frame.
  sim::deliver_datagram(from, std::vector<uint8_t>(data, data + size));
  std::vector<uint8_t> frame(8 + size);
  uint32_t len = static_cast<uint32_t>(frame.size()), type = 401;
  std::memcpy(frame.data(), &len, 4);
  std::memcpy(frame.data() + 4, &type, 4);
  if (size) std::memcpy(frame.data() + 8, data, size);
  sim::deliver_datagram(from, frame);
  sim::clear_injected();
  sim::clear_records();
  sim::clear_log();
  return 0;
}
