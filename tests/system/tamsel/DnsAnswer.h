// The A records of a DNS answer as the test game prints them, read with bounds.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tsl {

// Addresses of the A records of an answer, read with bounds; empty on anything unexpected.
inline std::string answerAddresses(const uint8_t* p, size_t n) {
  if (n < 12) return "";
  size_t ancount = static_cast<size_t>(p[6] << 8 | p[7]);
  size_t at = 12;
  auto skip_name = [&]() {
    while (at < n) {
      uint8_t l = p[at];
      if ((l & 0xc0) == 0xc0) {
        at += 2;
        return at <= n;
      }
      at += 1 + l;
      if (l == 0) return at <= n;
    }
    return false;
  };
  if (!skip_name() || at + 4 > n) return "";
  at += 4;
  std::string out;
  for (size_t i = 0; i < ancount; ++i) {
    if (!skip_name() || at + 10 > n) break;
    uint16_t type = static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
    size_t rdlen = static_cast<size_t>(p[at + 8] << 8 | p[at + 9]);
    at += 10;
    if (at + rdlen > n) break;
    if (type == 1 && rdlen == 4) {
      char ip[INET_ADDRSTRLEN];
      ::inet_ntop(AF_INET, p + at, ip, sizeof ip);
      if (!out.empty()) out += ",";
      out += ip;
    }
    at += rdlen;
  }
  return out;
}

}  // namespace tsl
