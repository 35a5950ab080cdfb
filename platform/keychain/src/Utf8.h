#pragma once
// Item names travel as UTF-8 text (JSON, D-Bus); others would not come back unchanged.
#include <cstdint>
#include <string_view>

namespace platform::keychain::detail {

inline bool validUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = uint8_t(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = uint8_t(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    const uint32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

// D-Bus strings end at a NUL, so a name holding one would name another item.
inline bool validName(std::string_view s) {
  return s.find('\0') == std::string_view::npos && validUtf8(s);
}

}  // namespace platform::keychain::detail
