// Package privilege answers: any JSON gives at most six picture slots, and every text kept is
// one the answer held as text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/Sections/Accelerate/TsPackagePrivilege.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto j = nlohmann::json::parse(data, data + size, nullptr, false);
  if (j.is_discarded()) return 0;
  const auto p = TsPackagePrivilege::fromJSON(j);
  if (p.images.size() > TsPackagePrivilege::kSlots) std::abort();
  if (p.flowSize && !(j.is_object() && j.at("flow_size").is_string())) std::abort();
  for (const auto& item : p.images) {
    if (item.image && item.image->size() > size) std::abort();
  }
  return 0;
}
