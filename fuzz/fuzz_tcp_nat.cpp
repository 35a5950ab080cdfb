// Address translation of the tunnel's TCP stack: a sequence of packets, each prefixed by a
// two-byte length, into one table (small bound, so eviction runs too).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Mazzle/MZTCPStack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::chrono::steady_clock::time_point now{};
  MZTCPStack stack([&] { return now; }, 4);
  stack.setListenPort(40000);
  size_t at = 0;
  while (at + 2 <= size) {
    size_t len = (size_t(data[at]) << 8 | data[at + 1]) % 2048;
    at += 2;
    if (len > size - at) len = size - at;
    std::vector<uint8_t> packet(data + at, data + at + len);
    at += len;
    stack.translate(packet);
    now += std::chrono::seconds(len % 700);
    stack.expire();
  }
  return 0;
}
