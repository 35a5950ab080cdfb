#include "Galvent/Tunnel/Pexara/PexaraFlowGroupManager.h"

#include "Galvent/Logger/GVLogger.h"

namespace {

int64_t numberOf(const std::optional<tq::Number>& n) { return n ? n->intValue() : 0; }

}  // namespace

PexaraFlowGroupManager::PexaraFlowGroupManager(PXA_SPEED_START_INFO& info) {
  flowId_ = numberOf(info.flow_id);
  extractFlowGroupWithSpeedInfo(info);
}

void PexaraFlowGroupManager::extractFlowGroupWithSpeedInfo(PXA_SPEED_START_INFO& info) {
  if (!info.vni_array) return;
  for (PXA_TRAFFIC_GROUP& item : *info.vni_array) {
    std::vector<GVEntrance> entrances;
    if (item.entrance)
      for (const auto& e : *item.entrance) entrances.push_back(GVEntranceExit::entrance(e));
    std::vector<GVExit> exits;
    if (item.exits)
      for (const auto& x : *item.exits) exits.push_back(GVEntranceExit::exit(x));
    auto group = flowGroupWithEntrances(entrances, exits, numberOf(item.traffic_level),
                                        static_cast<uint16_t>(numberOf(item.down_stream_limit)),
                                        static_cast<uint16_t>(numberOf(item.up_stream_limit)), "");
    if (!group) {
      GVLogError("Traffic group without exits gets no flow group");
      continue;
    }
    if (item.dest)
      for (PXA_TRAFFIC_RULE& dest : *item.dest) dest.traffic_id = group->groupKeyId();
    if (item.id) group->addRuleId(item.id->intValue());
  }
}
