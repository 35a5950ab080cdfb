// Geo lookup answers: the three readers take any body, never fail, and only keep what they
// found in it.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/Services/TsfetchIPService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  TsfetchIPService::parseServiceAnswer(body);
  auto taobao = TsfetchIPService::parseTaobaoAnswer(body);
  if (taobao.country || taobao.city) std::abort();
  auto echo = TsfetchIPService::parseIpipAnswer(body);
  if (echo.publicIP) {
    in_addr a{};
    if (::inet_aton(echo.publicIP->c_str(), &a) == 0) std::abort();
    if (body.find(*echo.publicIP + " ") == std::string::npos) std::abort();
  }
  return 0;
}
