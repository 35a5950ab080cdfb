#include "gelmora/Shared/NSString.h"

#include "TextSupport.h"

namespace NSString {

namespace {
bool isPosixSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

std::string stringByTrimmingLeadingAndTailingSpaces(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isPosixSpace(text[begin])) ++begin;
  while (end > begin && isPosixSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string MD5(std::string_view text) {
  // The digest was taken of a C string, so it ends at a zero byte.
  auto zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  return gelmora::text::md5Hex(text);
}

}  // namespace NSString
