// Unscrambling arbitrary text never crashes or reads out of bounds, and scrambling the input
// and unscrambling it again gives the input back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PexaraAPI/PXACrypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  auto plain = PXACrypto::decryptedDataFromString(input);
  (void)PXACrypto::decryptedDataFromData(input);
  (void)PXACrypto::rndCharIndexFromString(input);
  (void)plain;

  std::string scrambled = PXACrypto::encryptedStringOfString(input);
  auto back = PXACrypto::decryptedDataFromString(scrambled);
  if (!back || *back != input) std::abort();
  return 0;
}
