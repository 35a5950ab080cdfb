#include "gelmora/Legacy/LegacyWelcome.h"

#include "gelmora/Legacy/LegacyJson.h"

namespace LegacyWelcome {

std::vector<std::string> hostList(const std::optional<nlohmann::json>& stored,
                                  const std::string& fallback1, const std::string& fallback2) {
  std::vector<std::string> out;
  if (stored && stored->is_array()) {
    for (const auto& v : *stored) {
      if (v.is_string() && !v.get_ref<const std::string&>().empty())
        out.push_back(v.get<std::string>());
    }
  }
  if (!fallback1.empty()) out.push_back(fallback1);
  if (!fallback2.empty()) out.push_back(fallback2);
  return out;
}

std::string loadingText(bool initOk, int pointCount) {
  std::string dots(static_cast<size_t>((pointCount % 3 + 3) % 3 + 1), '.');
  return (initOk ? "自动登录" : "正在启动") + dots;
}

StartupReading readStartup(const nlohmann::json& reply) {
  StartupReading r;
  const nlohmann::json* data = LegacyJson::member(reply, "data");
  if (!data || !data->is_object()) return r;
  if (const auto* d = LegacyJson::member(*data, "domain_list")) {
    if (d->is_array() && !d->empty()) r.domainList = *d;
  }
  if (const auto* p = LegacyJson::member(*data, "pay_domain_list")) {
    if (p->is_array() && !p->empty()) r.payList = *p;
  }
  if (const auto* o = LegacyJson::member(*data, "outdated")) {
    r.outdated = LegacyJson::integer(*o).value_or(0) == 1;
  }
  return r;
}

std::optional<std::string> tokenOf(const std::optional<nlohmann::json>& loginData) {
  if (!loginData) return std::nullopt;
  const nlohmann::json* data = LegacyJson::member(*loginData, "data");
  if (!data) return std::nullopt;
  const nlohmann::json* token = LegacyJson::member(*data, "token");
  if (!token) return std::nullopt;
  return LegacyJson::text(*token);
}

}  // namespace LegacyWelcome
