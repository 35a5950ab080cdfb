#include "gelmora/Service/Tools/TsUtils.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <vector>

namespace {

std::vector<std::string_view> splitDots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    auto dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// Compares like a numeric-mode string comparison: runs of digits by value, at any length.
int compareNumeric(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      auto ra = a.substr(i, ei - i);
      auto rb = b.substr(j, ej - j);
      while (ra.size() > 1 && ra[0] == '0') ra.remove_prefix(1);
      while (rb.size() > 1 && rb[0] == '0') rb.remove_prefix(1);
      if (ra.size() != rb.size()) return ra.size() < rb.size() ? -1 : 1;
      if (int c = ra.compare(rb); c != 0) return sign(c);
      i = ei;
      j = ej;
    } else {
      auto ca = static_cast<unsigned char>(a[i]);
      auto cb = static_cast<unsigned char>(b[j]);
      if (ca != cb) return ca < cb ? -1 : 1;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

int TsUtilsCompareVersions(std::string_view a, std::string_view b) {
  auto pa = splitDots(a);
  auto pb = splitDots(b);
  while (pa.size() < pb.size()) pa.push_back("0");
  while (pb.size() < pa.size()) pb.push_back("0");
  for (std::size_t k = 0; k < pa.size(); ++k) {
    if (int c = compareNumeric(pa[k], pb[k]); c != 0) return c;
  }
  return 0;
}

bool TsUtilIsStringValidIPAddress(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->find('\0') != std::string::npos) return false;
  in_addr addr{};
  return ::inet_aton(text->c_str(), &addr) != 0;
}

bool TsUtilIsStringValidIPAddress(const nlohmann::json& value) {
  if (!value.is_string()) return false;
  return TsUtilIsStringValidIPAddress(std::optional<std::string>(value.get<std::string>()));
}

std::optional<nlohmann::json> TsUtilIntegerValueNumberGuard(const nlohmann::json& value) {
  if (value.is_number()) return value;
  if (value.is_string()) {
    // The platform's 64-bit integer reading: leading blanks, sign, digits; saturating.
    const std::string& text = value.get_ref<const std::string&>();
    long long n = std::strtoll(text.c_str(), nullptr, 10);
    return nlohmann::json(n);
  }
  return std::nullopt;
}

std::optional<std::string> TsUtilStringGuard(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number()) return value.dump();
  return std::nullopt;
}
