#include "gelmora/Legacy/LegacyJson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace LegacyJson {

namespace {
std::int64_t clampToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}
}  // namespace

std::optional<std::int64_t> integer(const nlohmann::json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() &&
        v.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::numeric_limits<std::int64_t>::max();
    return v.get<std::int64_t>();
  }
  if (v.is_number_float()) return clampToInt64(v.get<double>());
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    std::int64_t out = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      if (out > (std::numeric_limits<std::int64_t>::max() - 9) / 10) break;
      out = out * 10 + (s[i] - '0');
    }
    return neg ? -out : out;
  }
  return std::nullopt;
}

std::optional<double> number(const nlohmann::json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || std::isnan(d) || std::isinf(d)) return 0.0;
    return d;
  }
  return std::nullopt;
}

std::optional<std::string> text(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return v.dump();
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15) {
      return std::to_string(static_cast<long long>(d));
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return std::string(buf);
  }
  return std::nullopt;
}

bool truth(const nlohmann::json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0;
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

const nlohmann::json* member(const nlohmann::json& obj, std::string_view key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

}  // namespace LegacyJson
