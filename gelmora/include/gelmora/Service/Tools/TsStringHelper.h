#pragma once
// Text helpers of the older service layer and windows.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

class TsStringHelper {
 public:
  static std::string urlEncode(std::string_view text);
  static std::optional<nlohmann::json> jsonDecode(std::optional<std::string_view> text);
  static std::string md5DigestWithString(std::string_view text);
  // The displayed form of a user id given as a JSON value: a number or a text is mixed like
  // Tessaryn::uidEncrypt; any other value answers "15", its JSON text and "54".
  static std::string mixUid(const nlohmann::json& uid);
};
