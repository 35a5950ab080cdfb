#include "Galvent/Tunnel/Pexara/PexaraPacketRuleManager.h"

#include "Galvent/Logger/GVLogger.h"

#if __has_include("PexaraAPI/PexaraSchemaModels.h")
#include "PexaraAPI/PexaraSchemaModels.h"

namespace {

const std::vector<nlohmann::json> kNone;

template <class T>
const std::vector<T>& listOf(const std::optional<std::vector<T>>& list) {
  static const std::vector<T> empty;
  return list ? *list : empty;
}

int64_t numberOf(const std::optional<tq::Number>& n) { return n ? n->intValue() : 0; }

// "TCP,UDP" gives one rule per named protocol, in order; no name at all means any protocol.
std::vector<std::string> protocolsOf(const std::optional<std::string>& text) {
  std::vector<std::string> out;
  std::string_view rest = text ? std::string_view(*text) : std::string_view();
  while (true) {
    size_t comma = rest.find(',');
    std::string_view part = rest.substr(0, comma);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    if (!part.empty()) out.emplace_back(part);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (out.empty()) out.emplace_back("*");
  return out;
}

template <class Add>
void buildTrafficRules(const PXA_TRAFFIC_RULE& item, Add add) {
  for (const std::string& protocol : protocolsOf(item.protocol)) {
    auto rule = GVPacketRuleManager::createTrafficRuleWithProcess(
        item.process.value_or(""), protocol, item.host.value_or(""),
        item.destination_area_id ? *item.destination_area_id : kNone,
        item.destination_isp_id ? *item.destination_isp_id : kNone, item.port.value_or(""));
    if (rule) add(std::move(*rule));
  }
}

}  // namespace

PexaraPacketRuleManager::PexaraPacketRuleManager(const PXA_SPEED_START_INFO& info) {
  buildRulesWithSpeedInfo(info);
}

void PexaraPacketRuleManager::buildRulesWithSpeedInfo(const PXA_SPEED_START_INFO& info) {
  // Later-added rules are tried first, so walking the service's lists backwards keeps the
  // service's own order of precedence.
  const auto& dnsRules = listOf(info.dns_rule);
  for (auto it = dnsRules.rbegin(); it != dnsRules.rend(); ++it) {
    const auto& domains = listOf(it->domain);
    for (auto d = domains.rbegin(); d != domains.rend(); ++d) {
      auto domain = dnsDomain(*d);
      if (!domain) continue;
      auto rule = brevant::init_dns_rule(*domain, it->server.value_or(""));
      if (!rule) {
        GVLogError("Skipped DNS rule with server " + it->server.value_or(""));
        continue;
      }
      rule->traffic_id = numberOf(it->traffic_id);
      addDNSRule(std::move(*rule));
    }
  }

  const auto& black = listOf(info.blacklist);
  for (auto it = black.rbegin(); it != black.rend(); ++it)
    buildTrafficRules(*it, [this](brevant::traffic_rule r) { addBlackRule(std::move(r)); });

  const auto& groups = listOf(info.vni_array);
  for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
    for (const PXA_TRAFFIC_RULE& dest : listOf(group->dest)) {
      int64_t trafficId = numberOf(dest.traffic_id);
      buildTrafficRules(dest, [this, trafficId](brevant::traffic_rule r) {
        r.traffic_id = trafficId;
        addWhiteRule(std::move(r));
      });
    }
  }
}

#endif
