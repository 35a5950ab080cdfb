// The test game's reading of DNS answers: any bytes, no read past the end.
#include <cstddef>
#include <cstdint>

#include "DnsAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)tsl::answerAddresses(data, size);
  return 0;
}
