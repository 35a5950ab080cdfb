// Lines of the relay stand-in's runtime control socket and the switch names they carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "standin/relay/Control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto c = standin::relay::parseControlLine(line, &error);
  if (c) {
    // Only bounded lines of the one command are taken, and a refusal always says why.
    if (size > standin::relay::kMaxControlLine || !line.starts_with("switch ")) std::abort();
    if (c->switches.copies < 1 || c->switches.copies > 100) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  error.clear();
  if (!standin::relay::parseSwitchNames(line, &error) && error.empty()) std::abort();
  return 0;
}
