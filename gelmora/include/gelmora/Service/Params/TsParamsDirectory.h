#pragma once
// The key-value store of the older service layer and windows, kept in the application's
// defaults. Dictionaries are stored as pretty JSON bytes, a kind distinct from text, so a text
// value never reads back as a dictionary.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/defaults/Store.h"

class TsParamsDirectory {
 public:
  using Value = platform::defaults::Value;

  static void setValue(std::string_view key, const Value& value);
  // The stored value, else the key's default.
  static std::optional<Value> getValue(std::string_view key);
  static std::optional<Value> getDefaultValue(std::string_view key);
  static void setNSDictionaryValue(std::string_view key, const nlohmann::json& dictionary);
  // The stored bytes parsed as a JSON object or array; none when nothing or no such JSON is
  // stored (a text value included).
  static std::optional<nlohmann::json> getNSDictionaryValue(std::string_view key);

  // The store used; the application's defaults unless replaced (tests). None restores it.
  static void setStore(std::shared_ptr<platform::defaults::Store> store);
  static std::shared_ptr<platform::defaults::Store> store();
};
