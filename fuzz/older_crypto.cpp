// The older text scrambler: any text unscrambles or is refused, and any bytes survive a round
// trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/Service/Tools/Crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  (void)Crypto::decryptedDataFromString(text);
  (void)Crypto::num_of_str_in_sobx(text);
  auto back = Crypto::decryptedDataFromString(Crypto::encryptedStringOfString(text));
  if (!back || *back != text) std::abort();
  return 0;
}
