#pragma once
// Helpers shared by the text utilities; not part of the public interface.
#include <cstdint>
#include <string>
#include <string_view>

namespace gelmora::text {

// Length in UTF-16 code units, as the platform's text length counts. A byte that does not
// start a valid UTF-8 sequence counts as one unit (as its replacement character would).
std::size_t utf16Length(std::string_view utf8);

// Every byte belongs to a well-formed UTF-8 sequence.
bool isValidUtf8(std::string_view text);

// Lower-case hexadecimal, two digits per byte.
std::string hexLower(const unsigned char* bytes, std::size_t size);

std::string md5Hex(std::string_view bytes);
std::string sha1Hex(std::string_view bytes);

// Whole-text match of an ICU regular expression (Unicode word classes).
bool icuMatches(std::string_view pattern, std::string_view text);

// Only printable text without control characters, at most `cap` bytes (cut on a character
// boundary). Used for facts read from the system, which end up in request headers.
bool isCleanText(std::string_view text);
std::string capText(std::string_view text, std::size_t cap = 255);

}  // namespace gelmora::text
