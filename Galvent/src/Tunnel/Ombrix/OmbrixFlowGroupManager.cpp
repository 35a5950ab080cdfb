#include "Galvent/Tunnel/Ombrix/OmbrixFlowGroupManager.h"

#include "Galvent/Logger/GVLogger.h"

namespace {

int64_t numberOf(const std::optional<tq::Number>& n) { return n ? n->intValue() : 0; }

template <class List>
std::vector<GVEntrance> entrancesOf(const std::optional<List>& list) {
  std::vector<GVEntrance> out;
  if (list)
    for (const auto& e : *list) out.push_back(GVEntranceExit::entrance(e));
  return out;
}

template <class List>
std::vector<GVExit> exitsOf(const std::optional<List>& list) {
  std::vector<GVExit> out;
  if (list)
    for (const auto& x : *list) out.push_back(GVEntranceExit::exit(x));
  return out;
}

}  // namespace

OmbrixFlowGroupManager::OmbrixFlowGroupManager(JVX_SPEED_START_INFO& info) {
  flowId_ = numberOf(info.flow_id);
  rx_ = static_cast<uint16_t>(numberOf(info.down_stream_limit));
  tx_ = static_cast<uint16_t>(numberOf(info.up_stream_limit));
  extractFlowGroupWithSpeedInfo(info);
  GVLogInfo("info = " + tq::toJSON(info));
  std::string map;
  for (const auto& g : flowGroups()) map += (map.empty() ? "" : ", ") + g->description();
  GVLogInfo("self.flowGroupMap = {" + map + "}");
}

void OmbrixFlowGroupManager::extractFlowGroupWithSpeedInfo(JVX_SPEED_START_INFO& info) {
  const std::vector<GVEntrance> defaults = entrancesOf(info.entrance);

  std::vector<GVEntrance> dnsEntrances = entrancesOf(info.dns_rule_entrance);
  if (dnsEntrances.empty()) dnsEntrances = defaults;
  dnsGroup_ = flowGroupWithEntrances(dnsEntrances, exitsOf(info.dns_rule_exits),
                                     numberOf(info.dns_rule_traffic_level), rx_, tx_, "");
  if (dnsGroup_) {
    dnsGroup_->setRuleId(-1);
    dnsGroup_->addRuleId(-1);
    if (info.dns_rule)
      for (JVX_DNS_RULE& rule : *info.dns_rule) rule.traffic_id = dnsGroup_->groupKeyId();
  } else {
    GVLogError("DNS rules without exits get no flow group");
  }

  if (!info.rules) return;
  for (JVX_TRAFFIC_RULE& rule : *info.rules) {
    std::vector<GVEntrance> entrances = entrancesOf(rule.entrance);
    if (entrances.empty()) entrances = defaults;
    auto group =
        flowGroupWithEntrances(entrances, exitsOf(rule.exits), numberOf(rule.traffic_level), rx_,
                               tx_, rule.group_name.value_or(""));
    if (!group) {
      GVLogError("Traffic rule without exits gets no flow group");
      continue;
    }
    rule.traffic_id = group->groupKeyId();
    if (rule.id) {
      group->addRuleId(rule.id->intValue());
      if (!group->ruleId()) group->setRuleId(rule.id->intValue());
    }
  }
}
