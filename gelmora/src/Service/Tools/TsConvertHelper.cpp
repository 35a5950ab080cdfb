#include "gelmora/Service/Tools/TsConvertHelper.h"

#include <climits>
#include <cstdio>

#include "../../Shared/TextSupport.h"
#include "Tovra/Codec/Base64.h"

namespace {

// Leading blanks, optional sign, decimal digits up to the first other character; saturates at
// the 32-bit range as the platform's integer reading does.
std::int32_t intValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::string TsConvertHelper::longlongToIPAddress(std::int64_t value) {
  const auto v = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (v >> 24) & 255, (v >> 16) & 255, (v >> 8) & 255,
                v & 255);
  return text;
}

std::optional<std::string> TsConvertHelper::natToIPAddress(std::string_view base64) {
  auto bytes = tq::base64Decode(base64);
  if (!bytes || !gelmora::text::isValidUtf8(*bytes)) return std::nullopt;
  return bytes;
}

std::uint32_t TsConvertHelper::addrToUInt32(std::string_view text) {
  const auto dash = text.find('-');
  if (dash == std::string_view::npos || text.find('-', dash + 1) != std::string_view::npos) {
    return 0;
  }
  const auto a = static_cast<std::uint32_t>(intValue(text.substr(0, dash)));
  const auto b = static_cast<std::uint32_t>(intValue(text.substr(dash + 1)));
  return (a << 16) + b;
}

std::string TsConvertHelper::flowSizeNtoH(std::int64_t count, bool needBps) {
  std::int64_t v = count;
  if (needBps) v = (count > INT64_MAX / 8) ? INT64_MAX : count * 8;
  if (v < 0) v = 0;
  const char* units[] = {needBps ? "b" : "B", needBps ? "Kb" : "KB", needBps ? "Mb" : "MB",
                         needBps ? "Gb" : "GB"};
  char text[64];
  if (v < 1024) {
    std::snprintf(text, sizeof text, "%lld %s", static_cast<long long>(v), units[0]);
  } else if (v < (1LL << 20)) {
    std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(v) / 1024.0, units[1]);
  } else if (v < (1LL << 30)) {
    std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(v) / 1048576.0, units[2]);
  } else {
    std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(v) / 1073741824.0, units[3]);
  }
  return text;
}
