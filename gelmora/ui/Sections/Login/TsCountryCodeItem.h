#pragma once
// One country of the dial-code list.
#include <cstdint>
#include <string>

struct TsCountryCodeItem {
  std::string key;           // the country's key in the list (ISO 3166 two letters, upper case)
  int64_t index = 0;         // position in the list sorted by name, from 0
  std::string countryName;   // the first element of the country's array
  std::string countryEmoji;  // declared, never filled
  std::string countryCode;   // "+" and the last element of the country's array, e.g. "+86"
};
