// What a TUN device with offloads hands over: the first ten bytes are its virtio-net header (as
// the daemon reads it), the rest the packet, finished or cut into segments.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/netext/Offload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  auto le16 = [&](size_t at) { return uint16_t(data[at] | data[at + 1] << 8); };
  platform::netext::Offload o;
  o.flags = data[0];
  o.gsoType = data[1];
  o.headerLength = le16(2);
  o.gsoSize = le16(4);
  o.checksumStart = le16(6);
  o.checksumOffset = le16(8);
  std::vector<uint8_t> packet(data + 10, data + size);
  size_t total = 0;
  platform::netext::finishOffloaded(packet, o, [&](std::span<const uint8_t> s) {
    total += s.size();
    volatile uint8_t sink = s.empty() ? 0 : s[s.size() - 1];
    (void)sink;
  });
  return total > (size_t(1) << 40);
}
