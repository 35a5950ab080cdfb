#pragma once
// Text operations shared by the whole application: input validation, trimming, the displayed
// user id, form encoding, JSON decoding and the hand-over to the game service's scrambler.
// Texts are UTF-8; lengths count UTF-16 units, as the service's clients do.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace Tessaryn {

bool isValidateCode(std::string_view text);        // at least 4 units
bool isValidatePassword(std::string_view text);    // at least 6 units
bool isLongEnoughPassword(std::string_view text);  // at least 6 units
bool isValidatePhone(std::string_view text);       // 4 to 20 ASCII digits, nothing else
bool isValidateEmail(std::string_view text);       // whole-text e-mail pattern, Unicode words

// Unicode space separators and tab removed at both ends; line breaks stay.
std::string trim(std::string_view text);

// Display form of a user id: two digits from the MD5 digest's head, the id, two from its tail.
std::string uidEncrypt(std::string_view uid);

// The leading hexadecimal number (optional sign and "0x"), read into 32 bits and widened with
// its sign. No digits give 0.
std::int64_t hexStringToNum(std::string_view text);

// A JSON object or array; none for empty text, bad JSON, another top-level kind or nesting
// deeper than the parser's limit.
std::optional<nlohmann::json> jsonDecode(std::optional<std::string_view> text);

// Percent-encoding of every UTF-8 byte except ASCII letters, digits and "-_.~".
std::string urlEncode(std::string_view text);

// The game service's scrambler applied to the text.
std::string encryptedStringOfString(std::string_view text);

// A uniform integer from `from` to `to`, both included, from the cryptographic generator.
// from > to answers from.
std::int32_t randomIntegerFrom(std::int32_t from, std::int32_t to);

}  // namespace Tessaryn
