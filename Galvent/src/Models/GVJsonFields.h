#pragma once
// Typed reads and writes of optional model members: unset members are not written, absent keys,
// null and values of the wrong JSON type leave the member unset.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

namespace gvjson {

template <typename T>
void put(nlohmann::json& out, const char* key, const std::optional<T>& member) {
  if (member) out[key] = *member;
}

inline bool fits(const nlohmann::json& v, const std::string*) { return v.is_string(); }
inline bool fits(const nlohmann::json& v, const bool*) {
  // Flags may arrive as booleans or as numbers.
  return v.is_boolean() || v.is_number_integer() || v.is_number_unsigned();
}
template <typename T>
  requires std::is_integral_v<T>
bool fits(const nlohmann::json& v, const T*) {
  if (v.is_number_unsigned()) {
    return v.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
  }
  if (v.is_number_integer()) {
    int64_t n = v.get<int64_t>();
    if constexpr (std::is_unsigned_v<T>) return n >= 0;
    else return n >= std::numeric_limits<T>::min() && n <= std::numeric_limits<T>::max();
  }
  return false;
}
inline bool fits(const nlohmann::json& v, const double*) { return v.is_number(); }
inline bool fits(const nlohmann::json& v, const std::vector<std::string>*) {
  if (!v.is_array()) return false;
  for (const auto& e : v)
    if (!e.is_string()) return false;
  return true;
}

template <typename T>
void get(const nlohmann::json& in, const char* key, std::optional<T>& member) {
  auto it = in.find(key);
  if (it == in.end() || it->is_null() || !fits(*it, static_cast<const T*>(nullptr))) return;
  if constexpr (std::is_same_v<T, bool>) {
    member = it->is_boolean() ? it->template get<bool>() : (it->template get<int64_t>() != 0);
  } else {
    member = it->template get<T>();
  }
}

}  // namespace gvjson
