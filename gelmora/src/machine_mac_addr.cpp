#include "gelmora/machine_mac_addr.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "General/Helper/DeviceFacts.h"

namespace {
// Probe threads and the main thread may ask at once.
std::mutex cacheMutex;
char cache[256];
}  // namespace

const char* machine_mac_addr() {
  using namespace gelmora::device;
  std::lock_guard lock(cacheMutex);
  if (cache[0] != '\0') return cache;
  if (auto primary = primaryInterface(); primary && primary->mac) {
    const auto& m = *primary->mac;
    std::snprintf(cache, sizeof cache, "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return cache;
  }
  const TextFact serial = serialNumber();
  if (serial.state == ReadState::Value) {
    std::snprintf(cache, sizeof cache, "%s", serial.value.c_str());
    return cache;
  }
  if (serial.state == ReadState::Missing) {
    std::snprintf(cache, sizeof cache, "%s", "000000000000");
    return cache;
  }
  return "";
}

void machine_mac_addr_reset() {
  std::lock_guard lock(cacheMutex);
  std::memset(cache, 0, sizeof cache);
}
