// Start options from another process: any text maps or fails, never throws, and what maps
// writes back to a dictionary that maps to the same options.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Galvent/Models/GVLaunchOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TQError error;
  auto options = GVLaunchOptions::installFromJSON(text, &error);
  if (!options) return 0;
  auto again = tq::fromDictionary<GVLaunchOptions>(tq::toDictionary(*options));
  if (!again || !(*again == *options)) std::abort();
  options->activeSession();
  return 0;
}
