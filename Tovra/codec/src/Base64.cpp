#include "Tovra/Codec/Base64.h"

#include <array>
#include <cstdint>

namespace tq {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr auto kTable = makeTable();

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                 uint32_t(uint8_t(bytes[i + 2]));
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last) {
      if (text[i + 3] == '=') pad = (text[i + 2] == '=') ? 2 : 1;
    }
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      v <<= 6;
      if (k >= 4 - pad) continue;
      int8_t d = kTable[static_cast<uint8_t>(text[i + k])];
      if (d < 0) return std::nullopt;  // also catches "=" anywhere but the tail
      v |= uint32_t(d);
    }
    // Unused bits of a padded group must be zero, or two texts would decode alike.
    if (pad == 1 && (v & 0xFF) != 0) return std::nullopt;
    if (pad == 2 && (v & 0xFFFF) != 0) return std::nullopt;
    out += char((v >> 16) & 0xFF);
    if (pad < 2) out += char((v >> 8) & 0xFF);
    if (pad < 1) out += char(v & 0xFF);
  }
  return out;
}

}  // namespace tq
