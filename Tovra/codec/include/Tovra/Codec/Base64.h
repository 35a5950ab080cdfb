#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tq {

// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);

// Strict decoder: length a multiple of 4, only the standard alphabet, "=" only as the last one
// or two characters, no whitespace, unused bits of the last group zero (so every accepted text
// is the one encoding of its bytes). Anything else gives nothing.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace tq
