#include "TextSupport.h"

#include <openssl/evp.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <map>
#include <memory>
#include <mutex>

namespace gelmora::text {

bool isValidUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::size_t utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t i = 0;
  const auto length = static_cast<int32_t>(utf8.size());
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    units += (c > 0xFFFF) ? 2 : 1;
  }
  return units;
}

std::string hexLower(const unsigned char* bytes, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

namespace {
std::string digestHex(const EVP_MD* md, std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, md, nullptr) != 1) return {};
  return hexLower(digest, size);
}
}  // namespace

std::string md5Hex(std::string_view bytes) { return digestHex(EVP_md5(), bytes); }
std::string sha1Hex(std::string_view bytes) { return digestHex(EVP_sha1(), bytes); }

bool icuMatches(std::string_view pattern, std::string_view text) {
  // Compiled patterns are shared; each match gets its own matcher (patterns are thread-safe,
  // matchers are not).
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<icu::RegexPattern>, std::less<>> cache;
  const icu::RegexPattern* compiled = nullptr;
  {
    std::lock_guard lock(mutex);
    auto it = cache.find(pattern);
    if (it == cache.end()) {
      UErrorCode status = U_ZERO_ERROR;
      UParseError parseError;
      std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(
          icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), pattern.size())), 0,
          parseError, status));
      if (U_FAILURE(status) || !p) return false;
      it = cache.emplace(std::string(pattern), std::move(p)).first;
    }
    compiled = it->second.get();
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
  if (U_FAILURE(status) || !matcher) return false;
  bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

bool isCleanText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string capText(std::string_view text, std::size_t cap) {
  if (text.size() <= cap) return std::string(text);
  std::size_t end = cap;
  // Step back over continuation bytes so a character is never cut in half.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace gelmora::text
