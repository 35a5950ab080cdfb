// The saved tunnel configurations file: any bytes either decode to configurations that encode
// and decode to the same list, or are refused with a reason.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/netext/TunnelProviderManager.h"

using namespace platform::netext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ControlError error;
  auto configurations = decodeTunnelPreferences(text, &error);
  if (!configurations) {
    if (error.description.empty()) __builtin_trap();
    return 0;
  }
  auto again = decodeTunnelPreferences(encodeTunnelPreferences(*configurations));
  // Invalid UTF-8 in texts is replaced on writing, so only compare the shape then.
  if (!again || again->size() != configurations->size()) __builtin_trap();
  return 0;
}
