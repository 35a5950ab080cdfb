// Any tables document is parsed without crashing; a set that parses is valid and installs,
// and the scrambler then round-trips under it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PexaraAPI/PXACrypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto tables = PXACrypto::parseTables(input, &error);
  if (!tables) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (!PXACrypto::validateTables(*tables) || !PXACrypto::setTables(*tables)) std::abort();
  const std::string text = "{\"code\":0}";
  auto back = PXACrypto::decryptedDataFromString(PXACrypto::encryptedStringOfString(text));
  if (!back || *back != text) std::abort();
  if (!PXACrypto::setTables(PXACrypto::defaultTables())) std::abort();
  return 0;
}
