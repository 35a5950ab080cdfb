#pragma once
// Readings of the older service's JSON values as the older windows take them: an integer from a
// number or a numeric text, a text from a text or a number (decimal), a truth value.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace LegacyJson {

// Number (truncated), bool, or text read as a leading decimal integer; none for anything else.
std::optional<std::int64_t> integer(const nlohmann::json& v);
// Number or a text that starts as one; none for anything else.
std::optional<double> number(const nlohmann::json& v);
// Text as it is; numbers as decimal text (integers without a fraction); none for anything else.
std::optional<std::string> text(const nlohmann::json& v);
// true, a non-zero number, or a text starting with Y, y, T, t or a non-zero digit.
bool truth(const nlohmann::json& v);
// The member `key` of an object, none when `obj` is no object or has no such key.
const nlohmann::json* member(const nlohmann::json& obj, std::string_view key);

}  // namespace LegacyJson
