#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace tq {

// Form encoding of a parameter dictionary, as the service's form bodies expect it:
// keys sorted in byte order at every level; a nested object as key[sub], an array as key[] per
// element (nesting goes on: key[][sub]); text as is, integers in decimal, bools "1"/"0",
// doubles in shortest round-trip text ("2", not "2.0"); null gives the key alone; empty arrays
// and objects give no pair. Keys and values go through percentEscape; pairs are joined by "&".
// Anything but an object at the top has no keys and gives the empty text.
std::string queryString(const nlohmann::json& params);

}  // namespace tq
