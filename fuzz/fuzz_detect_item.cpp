// Type-301 bodies of any content: an item comes out only with a sane delay and loss.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Galvent/Tunnel/Base/Flow/Q5DetectItem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto item = Q5DetectItem::initWithJSONData(std::span<const uint8_t>(data, size), &error);
  if (!item) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (item->loss < 0 || item->loss > 100 || item->delay < 0) std::abort();
  if (item->itemKey.find('|') == std::string::npos) std::abort();
  (void)item->description();
  return 0;
}
