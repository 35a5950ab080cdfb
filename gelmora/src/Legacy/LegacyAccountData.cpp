#include "gelmora/Legacy/LegacyAccountData.h"

#include "gelmora/Legacy/LegacyJson.h"
#include "gelmora/Service/Tools/TsStringHelper.h"

std::optional<LegacyAccountData> LegacyAccountData::fromReply(const nlohmann::json& reply) {
  const nlohmann::json* data = LegacyJson::member(reply, "data");
  if (!data || !data->is_object()) return std::nullopt;
  LegacyAccountData a;
  auto textOf = [&](const char* key) -> std::optional<std::string> {
    const nlohmann::json* v = LegacyJson::member(*data, key);
    return v ? LegacyJson::text(*v) : std::nullopt;
  };
  auto name = textOf("username");
  const nlohmann::json* uid = LegacyJson::member(*data, "uid");
  if (name && uid && (uid->is_number() || uid->is_string())) {
    a.userName = *name + "(" + TsStringHelper::mixUid(*uid) + ")";
  }
  a.bandwidth = textOf("bandwidth");
  a.expireDate = textOf("expire_date");
  a.packageName = textOf("package_name");
  a.restTraffic = textOf("formatted_rest_traffic");
  a.route = textOf("route");
  if (const auto* s = LegacyJson::member(*data, "expired_and_pause_status")) {
    if (auto i = LegacyJson::integer(*s)) {
      a.status = (*i < -1000000 || *i > 1000000) ? -1 : static_cast<int>(*i);
    }
  }
  if (const auto* t = LegacyJson::member(*data, "traffic_info")) a.trafficInfo = *t;
  return a;
}

std::optional<LegacyAccountData::Notices> LegacyAccountData::noticesFor(int status) {
  switch (status) {
    case 0:
      return Notices{false, false, false};
    case 2:
      return Notices{true, true, false};
    case 3:
      return Notices{true, false, true};
    default:
      return std::nullopt;
  }
}
