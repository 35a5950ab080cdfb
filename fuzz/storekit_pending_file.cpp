// The file of unconfirmed purchases: read or refused, every entry with its id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/storekit/StoreKit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  auto entries = storekit::parsePendingFile(text, &why);
  if (!entries && why.empty()) std::abort();
  if (entries)
    for (const auto& e : *entries)
      if (e.transactionIdentifier.empty()) std::abort();
  return 0;
}
