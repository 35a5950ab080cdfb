#pragma once
// MD5 of a text, used to check cached rule files.

#include <string>
#include <string_view>

namespace GVString {
// 32 lower-case hex digits of the MD5 of the text's bytes up to the first NUL.
std::string MD5(std::string_view text);
}  // namespace GVString
