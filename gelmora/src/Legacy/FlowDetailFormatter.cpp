#include "gelmora/Legacy/FlowDetailFormatter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "gelmora/Legacy/LegacyJson.h"

namespace {

std::string format2(const char* fmt, double a) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

int barUnits(double amount) {
  constexpr double kMax = 1e9;
  if (!std::isfinite(amount)) return amount > 0 ? static_cast<int>(kMax) : 0;
  return static_cast<int>(std::clamp(std::round(amount * 100), 0.0, kMax));
}

}  // namespace

FlowDetailKind FlowDetail::kind(double total, double used, const std::string& unit) {
  FlowDetailKind k;
  k.total = total;
  k.used = used;
  k.barMaximum = std::max(1, barUnits(total));
  k.barValue = used > total ? k.barMaximum : std::min(k.barMaximum, barUnits(used));
  k.remaining = format2("剩余 %.2f", total - used);
  char buf[1024];
  std::snprintf(buf, sizeof buf, "共%.2f%s 已用%.2f%s", total, unit.c_str(), used, unit.c_str());
  k.usedText = buf;
  return k;
}

std::optional<FlowDetail> FlowDetail::fromStored(const std::optional<nlohmann::json>& stored,
                                                 std::string* logLine) {
  if (!stored || stored->is_null()) {
    if (logLine) *logLine = "无法获取流量详情";
    return std::nullopt;
  }
  if (!stored->is_object()) return std::nullopt;
  FlowDetail d;
  if (const auto* info = LegacyJson::member(*stored, "info")) {
    if (const auto* u = LegacyJson::member(*info, "unit"))
      d.unit = LegacyJson::text(*u).value_or("");
    if (const auto* m = LegacyJson::member(*info, "msg"))
      d.message = LegacyJson::text(*m).value_or("");
  }
  const char* keys[3] = {"last_traffic", "this_traffic", "extra_traffic"};
  for (int i = 0; i < 3; ++i) {
    double total = 0, used = 0;
    if (const auto* k = LegacyJson::member(*stored, keys[i])) {
      if (const auto* t = LegacyJson::member(*k, "total"))
        total = LegacyJson::number(*t).value_or(0);
      if (const auto* u = LegacyJson::member(*k, "used")) used = LegacyJson::number(*u).value_or(0);
    }
    d.kinds[i] = kind(total, used, d.unit);
  }
  return d;
}
