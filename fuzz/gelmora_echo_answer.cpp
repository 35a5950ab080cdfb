// Public-address echo answers: the answer is an IPv4 text taken from the body, or none.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/General/Helper/TsSystemInformation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  auto address = TsSystemInformation::publicAddressFromEchoAnswer(body);
  if (address) {
    in_addr a{};
    if (::inet_pton(AF_INET, address->c_str(), &a) != 1) std::abort();
    if (body.find(*address) == std::string::npos) std::abort();
  }
  return 0;
}
