#pragma once
// Percent escaping of form values in the older service's forms: bytes that are not legal in a
// URL become "%XX" (UTF-8, upper-case hex); legal characters, the reserved ones such as "&", "="
// and "+" included, stay as they are. The service decodes the forms this way.
#include <string>
#include <string_view>

namespace TsWebEscape {

std::string urlEscape(std::string_view text);

}  // namespace TsWebEscape
