#include "gelmora/Service/Web/TsWebEscape.h"

#include <cstring>

namespace TsWebEscape {

std::string urlEscape(std::string_view text) {
  static constexpr const char* kLegal = "!$&'()*+,-./:;=?@_~";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                (c != 0 && std::strchr(kLegal, c) != nullptr);
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace TsWebEscape
