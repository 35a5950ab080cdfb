// Route files of the tunnel's network settings.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Galvent/Tunnel/Provider/GVIPPacketStack.h"
#include "platform/netext/NetworkSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto routes =
      GVIPPacketStack::routesFromText(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const auto& r : routes) {
    // Every mask handed out is one of the table's.
    if (!platform::netext::prefixLengthOfMask(r.destinationSubnetMask)) __builtin_trap();
    if (r.destinationAddress.empty()) __builtin_trap();
  }
  return 0;
}
