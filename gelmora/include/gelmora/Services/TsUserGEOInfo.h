#pragma once
// Where the user's public address is: what the geo lookups found (none when unknown).
#include <optional>
#include <string>

struct TsUserGEOInfo {
  std::optional<std::string> publicIP;
  std::optional<std::string> countryCode;
  std::optional<std::string> country;
  std::optional<std::string> city;

  bool operator==(const TsUserGEOInfo&) const = default;
};
