#include "gelmora/Sections/Line/HLNetLineNodeGroup.h"

#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"

std::shared_ptr<HLNetLineNodeGroup> HLNetLineNodeGroup::initWithNetNodeGroup(
    const JVX_NET_NODE_GROUP_INFO& group) {
  auto g = std::make_shared<HLNetLineNodeGroup>();
  g->countryId = group.country_id;
  g->iconUrlString = HLFlagImageName(group.national_flag.value_or(""));
  g->countryName = group.country.value_or("");
  g->selected = false;
  return g;
}

std::shared_ptr<HLNetLineNodeGroup> HLNetLineNodeGroup::all() {
  auto g = std::make_shared<HLNetLineNodeGroup>();
  g->countryName = "All";
  g->iconUrlString = "";
  g->countryId = tq::Number(kHLNetLineNodeGroupAllId);
  g->selected = false;
  return g;
}
