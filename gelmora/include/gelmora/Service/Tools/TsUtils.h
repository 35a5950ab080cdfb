#pragma once
// Dotted version comparison, IPv4 text check and two value guards.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// -1 when `a` is the lower version, 0 when equal, 1 when higher. Parts split at "." (missing
// parts count as "0"); runs of digits compare by value at any length, other characters by code.
int TsUtilsCompareVersions(std::string_view a, std::string_view b);

// True for a non-empty text that inet_aton accepts (short forms such as 127.1 included). None
// and a JSON null are false.
bool TsUtilIsStringValidIPAddress(const std::optional<std::string>& text);
bool TsUtilIsStringValidIPAddress(const nlohmann::json& value);

// A number stays, a text becomes its integer value, anything else (null included) is none.
std::optional<nlohmann::json> TsUtilIntegerValueNumberGuard(const nlohmann::json& value);
// A text stays, a number becomes its decimal text, anything else (null included) is none.
std::optional<std::string> TsUtilStringGuard(const nlohmann::json& value);
