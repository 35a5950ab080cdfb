// Address and text helpers of the filter core; locale-free.
#include <cstring>

#include "tamsel_internal.h"

namespace tamsel {

bool parse_dotted_ipv4(const char* text, uint32_t* out) {
  uint32_t host = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return false;
      ++p;
    }
    int digits = 0;
    uint32_t v = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      v = v * 10 + static_cast<uint32_t>(*p - '0');
      ++p;
      ++digits;
    }
    if (digits == 0 || digits > 3 || v > 255) return false;
    host = (host << 8) | v;
  }
  if (*p != 0) return false;
  // Network order: the first octet is the lowest byte in memory.
  *out = ((host & 0xff) << 24) | ((host & 0xff00) << 8) | ((host >> 8) & 0xff00) | (host >> 24);
  return true;
}

bool is_private_or_loopback(uint32_t ip_net) {
  const auto* b = reinterpret_cast<const uint8_t*>(&ip_net);
  if (b[0] == 127 || b[0] == 10) return true;
  if (b[0] == 192 && b[1] == 168) return true;
  if (b[0] == 172 && (b[1] & 0xf0) == 16) return true;
  return ip_net == 0xffffffffu;
}

void copy_text(char* dst, size_t size, const char* src, size_t src_max) {
  if (size == 0) return;
  size_t n = 0;
  while (n + 1 < size && n < src_max && src[n]) {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = 0;
}

}  // namespace tamsel
