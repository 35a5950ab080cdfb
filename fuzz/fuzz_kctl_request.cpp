// Hello and option-request parsers of the control transport on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kctl/wire.h"

namespace wire = platform::kctl::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized copies, so that any read past the message shows.
  std::vector<uint8_t> msg(data, data + size);
  const void* p = msg.empty() ? nullptr : msg.data();
  wire::Hello h;
  int fds = size ? data[0] % 3 : 1;
  if (wire::parse_hello(p, msg.size(), fds, &h) == 0) {
    if (std::memcmp(h.magic, wire::kMagic, 4) != 0 || fds != 1) __builtin_trap();
  }
  wire::OptionRequest r;
  const uint8_t* payload = nullptr;
  if (wire::parse_request(p, msg.size(), &r, &payload) == 0) {
    if (payload + r.len != msg.data() + msg.size()) __builtin_trap();
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < r.len; ++i) sum = static_cast<uint8_t>(sum + payload[i]);
  }
  return 0;
}
