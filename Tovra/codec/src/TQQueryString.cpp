#include "Tovra/Codec/TQQueryString.h"

#include <charconv>
#include <string_view>

#include "Tovra/Codec/PercentEscape.h"

namespace tq {
namespace {

std::string scalarText(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::string:
      return value.get_ref<const std::string&>();
    case nlohmann::json::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case nlohmann::json::value_t::number_integer:
      return std::to_string(value.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return std::to_string(value.get<uint64_t>());
    case nlohmann::json::value_t::number_float: {
      // Shortest text that reads back to the same double; integral values carry no ".0".
      char buf[64];
      auto res = std::to_chars(buf, buf + sizeof buf, value.get<double>());
      return std::string(buf, res.ptr);
    }
    default:
      return std::string();
  }
}

void appendPairs(std::string& out, const std::string& key, const nlohmann::json& value,
                 bool top = false) {
  if (value.is_object()) {
    // nlohmann::json keeps object keys in a std::map: byte order already.
    for (const auto& [sub, child] : value.items()) {
      appendPairs(out, top ? sub : key + "[" + sub + "]", child);
    }
    return;
  }
  if (value.is_array()) {
    for (const auto& child : value) appendPairs(out, key + "[]", child);
    return;
  }
  if (!out.empty()) out += '&';
  out += percentEscape(key);
  if (value.is_null()) return;
  out += '=';
  out += percentEscape(scalarText(value));
}

}  // namespace

std::string queryString(const nlohmann::json& params) {
  std::string out;
  if (!params.is_object()) return out;
  appendPairs(out, std::string(), params, true);
  return out;
}

}  // namespace tq
