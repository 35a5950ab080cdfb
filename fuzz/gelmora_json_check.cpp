// The JSON check: whatever it accepts parses as one object or array.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "gelmora/Service/Tools/Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!Utils::isValidJsonData(input)) return 0;
  // Only shallow documents are rebuilt here; the check itself never recurses.
  if (size > 4096) return 0;
  auto doc = nlohmann::json::parse(input, nullptr, false);
  if (doc.is_discarded() || (!doc.is_object() && !doc.is_array()) || size <= 2) std::abort();
  return 0;
}
