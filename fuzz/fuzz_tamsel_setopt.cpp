// Arbitrary option numbers and payloads into both option dispatchers of the filter.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace sim = platform::kern::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    sim::use_virtual_time(true);
    return tamsel::tamsel_start() == 0;
  }();
  if (!started) return 0;
  static uint32_t unit = 0;
  if (!unit && sim::ctl_connect(&unit) != 0) return 0;
  // Input: repeated {u8 kind, u16 option index, u16 length, bytes}.
  static const int kOpts[] = {1000, 2010, 2020, 2030, 2040, 3001, 3002, 3003, 3004, 3005, 3998,
                              3999, 4000, 4020, 4021, 4031, 4032, 6000, 6010, 0,    7};
  size_t pos = 0;
  while (pos + 5 <= size) {
    uint8_t kind = data[pos];
    uint16_t idx, len;
    std::memcpy(&idx, data + pos + 1, 2);
    std::memcpy(&len, data + pos + 3, 2);
    pos += 5;
    size_t n = len < size - pos ? len : size - pos;
    // An exactly sized copy, so that any overread is caught.
    std::vector<uint8_t> payload(data + pos, data + pos + n);
    pos += n;
    int opt = (idx & 0x8000) ? idx : kOpts[idx % (sizeof kOpts / sizeof kOpts[0])];
    if (kind % 8 == 7) {
      size_t l = payload.size();
      sim::ctl_getopt(unit, opt, payload.empty() ? nullptr : payload.data(), &l);
    } else if (kind % 8 == 6) {
      sim::ctl_disconnect(unit);
      unit = 0;
      if (sim::ctl_connect(&unit) != 0) return 0;
    } else {
      sim::ctl_setopt(unit, opt, payload.empty() ? nullptr : payload.data(), payload.size());
    }
  }
  // Keeps the lists small across runs.
  sim::ctl_disconnect(unit);
  unit = 0;
  sim::clear_log();
  return 0;
}
