// A stored traffic-detail value (any JSON) turned into the detail windows' texts and bars.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "gelmora/Legacy/FlowDetailFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto j = nlohmann::json::parse(reinterpret_cast<const char*>(data),
                                 reinterpret_cast<const char*>(data) + size, nullptr, false);
  if (j.is_discarded()) return 0;
  std::string line;
  auto d = FlowDetail::fromStored(j, &line);
  if (d) {
    for (const auto& k : d->kinds) {
      if (k.barValue > k.barMaximum || k.barMaximum < 1 || k.barValue < 0) __builtin_trap();
    }
  }
  return 0;
}
