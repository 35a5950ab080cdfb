#include "Mazzle/MZHelper.h"

namespace MZHelper {

std::optional<uint32_t> ipv4AddrFromLiteral(std::string_view literal) {
  uint32_t addr = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= literal.size() || literal[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t start = pos;
    uint32_t value = 0;
    while (pos < literal.size() && literal[pos] >= '0' && literal[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<uint32_t>(literal[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 255) return std::nullopt;
    addr = (addr << 8) | value;
  }
  if (pos != literal.size()) return std::nullopt;
  return addr;
}

std::string ipv4LiteralFromAddr(uint32_t addr) {
  return std::to_string(addr >> 24) + '.' + std::to_string((addr >> 16) & 0xFF) + '.' +
         std::to_string((addr >> 8) & 0xFF) + '.' + std::to_string(addr & 0xFF);
}

}  // namespace MZHelper
