#include "Galvent/Tunnel/Ombrix/OmbrixPacketRuleManager.h"

#include "Galvent/Logger/GVLogger.h"

#if __has_include("JolvexAPI/JolvexSchemaModels.h")
#include "JolvexAPI/JolvexSchemaModels.h"

namespace {

const std::vector<nlohmann::json> kNone;
const nlohmann::json kAny = "*";

template <class T>
const std::vector<T>& listOf(const std::optional<std::vector<T>>& list) {
  static const std::vector<T> empty;
  return list ? *list : empty;
}

int64_t numberOf(const std::optional<tq::Number>& n) { return n ? n->intValue() : 0; }

// List items arrive as texts or, for ports, numbers; anything else reads as "".
std::string textOf(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  if (v.is_number_unsigned()) return std::to_string(v.get<uint64_t>());
  return "";
}

// An empty or missing list counts as the one item "*".
std::vector<nlohmann::json> orAny(const std::optional<std::vector<nlohmann::json>>& list) {
  if (!list || list->empty()) return {kAny};
  return *list;
}

// One rule per process (last to first), protocol, port and destination, nested so.
template <class Add>
void buildTrafficRules(const JVX_TRAFFIC_RULE& item, Add add) {
  const auto processes = orAny(item.process);
  const auto protocols = orAny(item.protocol);
  const auto ports = orAny(item.port);
  const auto destinations = orAny(item.destination_ip_domain);
  const auto& areas = item.destination_area_id ? *item.destination_area_id : kNone;
  const auto& isps = item.destination_isp_id ? *item.destination_isp_id : kNone;
  for (auto process = processes.rbegin(); process != processes.rend(); ++process)
    for (const auto& protocol : protocols)
      for (const auto& port : ports)
        for (const auto& destination : destinations) {
          auto rule = GVPacketRuleManager::createTrafficRuleWithProcess(
              textOf(*process), textOf(protocol), textOf(destination), areas, isps, textOf(port));
          if (rule) add(std::move(*rule));
        }
}

}  // namespace

OmbrixPacketRuleManager::OmbrixPacketRuleManager(const JVX_SPEED_START_INFO& info) {
  buildRulesWithSpeedInfo(info);
}

void OmbrixPacketRuleManager::buildRulesWithSpeedInfo(const JVX_SPEED_START_INFO& info) {
  // Later-added rules are tried first, so walking the service's lists backwards keeps the
  // service's own order of precedence.
  const auto& dnsRules = listOf(info.dns_rule);
  for (auto it = dnsRules.rbegin(); it != dnsRules.rend(); ++it) {
    const auto& domains = listOf(it->destination_domain);
    for (auto d = domains.rbegin(); d != domains.rend(); ++d) {
      auto domain = dnsDomain(*d);
      if (!domain) continue;
      auto rule = brevant::init_dns_rule(*domain, it->dns_server.value_or(""));
      if (!rule) {
        GVLogError("Skipped DNS rule with server " + it->dns_server.value_or(""));
        continue;
      }
      rule->rule_id = -1;
      rule->traffic_id = numberOf(it->traffic_id);
      addDNSRule(std::move(*rule));
    }
  }

  const auto& black = listOf(info.blacklist);
  for (auto it = black.rbegin(); it != black.rend(); ++it)
    buildTrafficRules(*it, [this](brevant::traffic_rule r) { addBlackRule(std::move(r)); });

  const auto& white = listOf(info.rules);
  for (auto it = white.rbegin(); it != white.rend(); ++it) {
    int64_t ruleId = numberOf(it->id);
    int64_t trafficId = numberOf(it->traffic_id);
    buildTrafficRules(*it, [this, ruleId, trafficId](brevant::traffic_rule r) {
      r.rule_id = ruleId;
      r.traffic_id = trafficId;
      addWhiteRule(std::move(r));
    });
  }
}

#endif
