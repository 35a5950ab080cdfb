// Strict base64: decoding never reads past the input, and whatever decodes encodes back to the
// same text (one encoding per byte string); encoding anything decodes back to it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Tovra/Codec/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (auto decoded = tq::base64Decode(in)) {
    if (tq::base64Encode(*decoded) != in) std::abort();
  }
  auto back = tq::base64Decode(tq::base64Encode(in));
  if (!back || *back != in) std::abort();
  return 0;
}
