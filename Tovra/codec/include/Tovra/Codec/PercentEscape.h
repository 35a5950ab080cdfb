#pragma once

#include <string>
#include <string_view>

namespace tq {

// Escapes text for a form body or query: ASCII letters, digits and "-._~/?" stay, every other
// byte (each byte of a UTF-8 sequence alike) becomes "%XX" with upper-case hex digits.
std::string percentEscape(std::string_view text);

}  // namespace tq
