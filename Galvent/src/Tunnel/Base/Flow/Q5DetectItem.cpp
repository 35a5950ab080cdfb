#include "Galvent/Tunnel/Base/Flow/Q5DetectItem.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

// A JSON number as a saturated int64 (fractions truncated toward zero); nothing for other kinds.
std::optional<int64_t> integer(const nlohmann::json& v) {
  if (v.is_number_integer() && v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

bool fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

}  // namespace

std::optional<Q5DetectItem> Q5DetectItem::initWithJSONData(std::span<const uint8_t> body,
                                                           std::string* error) {
  auto j = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    fail(error, "detect answer is not a JSON object");
    return std::nullopt;
  }
  auto text = [&](const char* key) -> const std::string* {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
  };
  auto number = [&](const char* key) -> std::optional<int64_t> {
    auto it = j.find(key);
    return it != j.end() ? integer(*it) : std::nullopt;
  };
  const std::string* target = text("target_ip");
  const std::string* nat = text("nat_ip");
  auto delay = number("delay");
  auto reply = number("reply_count");
  auto total = number("total_count");
  if (!target || !nat) {
    fail(error, "detect answer without target_ip or nat_ip");
    return std::nullopt;
  }
  if (!delay || !reply || !total) {
    fail(error, "detect answer without delay, reply_count or total_count");
    return std::nullopt;
  }
  // Without probes sent the loss is undefined.
  if (*total <= 0) {
    fail(error, "detect answer with total_count <= 0");
    return std::nullopt;
  }
  Q5DetectItem item;
  item.itemKey = *target + "|" + *nat;
  // Microseconds to ms, truncated toward zero; a negative delay is no delay.
  item.delay = std::max<int64_t>(0, *delay / 1000);
  __int128 lost = (static_cast<__int128>(*total) - *reply) * 100 / *total;
  item.loss = static_cast<int64_t>(std::clamp<__int128>(lost, 0, 100));
  return item;
}

std::string Q5DetectItem::description() const {
  return itemKey + ": D " + std::to_string(delay) + ", L " + std::to_string(loss);
}
