#pragma once
// Two more text operations used by the device information.
#include <string>
#include <string_view>

namespace NSString {

// POSIX white space (blank, \t \n \v \f \r) removed at both ends of the bytes.
std::string stringByTrimmingLeadingAndTailingSpaces(std::string_view text);

// MD5 of the text's bytes up to the first zero byte, 32 lower-case hex digits.
std::string MD5(std::string_view text);

}  // namespace NSString
