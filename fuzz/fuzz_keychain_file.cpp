// The keychain item file as read from disk: parse must accept or refuse cleanly, and whatever it
// accepts must survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/keychain/FileBackend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::keychain::FileBackend;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FileBackend::Items items;
  std::string error;
  if (!FileBackend::parse(text, items, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  FileBackend::Items again;
  if (!FileBackend::parse(FileBackend::serialize(items), again, error)) std::abort();
  if (again != items) std::abort();
  return 0;
}
