// Page addresses against the brand's hosts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gelmora/Shared/BrandHosts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const std::string url = input.substr(0, cut);
  const std::string domain = cut == std::string::npos ? "www.brand.test" : input.substr(cut + 1);
  BrandHosts::allows(url, {domain, "127.0.0.1:8080"});
  return 0;
}
