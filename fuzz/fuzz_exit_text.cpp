// Exit texts of any content: a number always comes back, and valid texts round-trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Galvent/Tunnel/Base/Q5Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint32_t exit = Q5Protocol::exitFromString(text);
  std::string canonical = std::to_string(exit >> 16) + "-" + std::to_string(exit & 0xFFFF);
  if (Q5Protocol::exitFromString(canonical) != exit) std::abort();
  Q5Protocol::detectPacketWithExit(text, 1, 1, text, text, "B");
  return 0;
}
