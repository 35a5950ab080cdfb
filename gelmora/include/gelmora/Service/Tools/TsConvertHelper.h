#pragma once
// Conversions between numbers and the texts the application shows or sends.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TsConvertHelper {
 public:
  // Dotted text of the low 32 bits, first octet from the most significant byte.
  static std::string longlongToIPAddress(std::int64_t value);
  // Base64 text (strict) decoded and read as UTF-8; none when either step fails.
  static std::optional<std::string> natToIPAddress(std::string_view base64);
  // "A-B" as (A << 16) + B, wrapping at 32 bits; 0 unless there are exactly two parts.
  static std::uint32_t addrToUInt32(std::string_view text);
  // Byte count (or bits when needBps) as "<n> B", "<x.xx> KB", ... or "b", "Kb", ...
  static std::string flowSizeNtoH(std::int64_t count, bool needBps);
};
