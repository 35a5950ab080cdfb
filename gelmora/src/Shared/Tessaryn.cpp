#include "gelmora/Shared/Tessaryn.h"

#include <openssl/rand.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>

#include "TextSupport.h"
#include "gelmora/Shared/NSString.h"

namespace Tessaryn {

namespace {

constexpr const char* kPhonePattern = "^[0-9]{4,20}$";
constexpr const char* kEmailPattern = "\\w+([-+.]\\w+)*@\\w+([-.]\\w+)*\\.\\w+([-.]\\w+)*";
// Deeper documents are refused before parsing; nothing the service sends comes near it.
constexpr int kMaxJsonDepth = 256;

bool isTrimmed(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

bool depthWithinLimit(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

bool isValidateCode(std::string_view text) { return gelmora::text::utf16Length(text) >= 4; }
bool isValidatePassword(std::string_view text) { return gelmora::text::utf16Length(text) >= 6; }
bool isLongEnoughPassword(std::string_view text) { return gelmora::text::utf16Length(text) >= 6; }

bool isValidatePhone(std::string_view text) {
  return !text.empty() && gelmora::text::icuMatches(kPhonePattern, text);
}

bool isValidateEmail(std::string_view text) {
  return !text.empty() && gelmora::text::icuMatches(kEmailPattern, text);
}

std::string trim(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isTrimmed(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(s, begin, prev, c);
    if (c < 0 || !isTrimmed(c)) break;
    end = prev;
  }
  return std::string(
      text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::string uidEncrypt(std::string_view uid) {
  const std::string digest = NSString::MD5(uid);
  const long a = static_cast<long>(hexStringToNum(std::string_view(digest).substr(0, 2))) % 100;
  const long b = static_cast<long>(hexStringToNum(std::string_view(digest).substr(30, 2))) % 100;
  char head[8];
  char tail[8];
  std::snprintf(head, sizeof head, "%02ld", a);
  std::snprintf(tail, sizeof tail, "%02ld", b);
  return head + std::string(uid) + tail;
}

std::int64_t hexStringToNum(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hexValue(text[i + 2]) >= 0) {
    i += 2;
  }
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    int d = hexValue(text[i]);
    if (d < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(d);  // wraps to 32 bits like "%x"
  }
  if (negative) value = 0u - value;
  return static_cast<std::int64_t>(static_cast<std::int32_t>(value));
}

std::optional<nlohmann::json> jsonDecode(std::optional<std::string_view> text) {
  if (!text || text->empty() || !depthWithinLimit(*text)) return std::nullopt;
  auto doc = nlohmann::json::parse(text->begin(), text->end(), nullptr, false);
  if (doc.is_discarded() || !(doc.is_object() || doc.is_array())) return std::nullopt;
  return doc;
}

std::string urlEncode(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '.' || c == '~';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

std::int32_t randomIntegerFrom(std::int32_t from, std::int32_t to) {
  if (from >= to) return from;
  const std::uint64_t range =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from)) +
      1;
  // Rejection sampling keeps the draw uniform over any range.
  const std::uint64_t limit = UINT64_MAX - (UINT64_MAX % range);
  std::uint64_t draw = 0;
  do {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&draw), sizeof draw) != 1) return from;
  } while (draw >= limit);
  return static_cast<std::int32_t>(static_cast<std::int64_t>(from) +
                                   static_cast<std::int64_t>(draw % range));
}

}  // namespace Tessaryn
