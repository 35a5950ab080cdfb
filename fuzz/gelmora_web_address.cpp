// Web window addresses: the lang pair lands in the query, the fragment is kept unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/Shared/WebAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  const std::string out = gelmora::appendLang(url, "zh-CN");
  if (url.empty() != out.empty()) std::abort();
  if (!url.empty()) {
    const size_t hash = url.find('#');
    const std::string fragment = hash == std::string::npos ? "" : url.substr(hash);
    if (out.size() != url.size() + 11 || out.substr(out.size() - fragment.size()) != fragment)
      std::abort();
  }
  gelmora::isRechargeTitle(url);
  return 0;
}
