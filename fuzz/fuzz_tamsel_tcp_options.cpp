// TCP option bytes of a SYN through the filter's MSS reduction, as a whole packet whose IP and
// TCP lengths the input chooses.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tamsel/src/tamsel_internal.h"
#include "platform/kern/sim.h"
#include "tamsel/tamsel.h"

namespace sim = platform::kern::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    sim::use_virtual_time(true);
    uint32_t u = 0;
    if (tamsel::tamsel_start() != 0 || sim::ctl_connect(&u) != 0) return false;
    sim::ctl_setopt(u, tamsel::abi::KCTL_ENABLE_REDUCE_TCP_MSS, nullptr, 0);
    return true;
  }();
  if (!started || size < 2) return 0;
  // data[0]: TCP data offset and flags; data[1]: extra bytes claimed by the IP length.
  std::vector<uint8_t> p(40 + size - 2, 0);
  p[0] = 0x45;
  size_t total = p.size() + (data[1] & 0x0f);
  p[2] = static_cast<uint8_t>(total >> 8);
  p[3] = static_cast<uint8_t>(total);
  p[9] = 6;
  p[20 + 12] = data[0] & 0xf0;
  p[20 + 13] = static_cast<uint8_t>(0x02 | (data[0] & 0x10));
  std::memcpy(p.data() + 40, data + 2, size - 2);
  tamsel::reduce_tcp_mss(p.data(), p.size());
  return 0;
}
