#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"

std::string HLFlagImageName(const std::string& fileName) {
  const auto slash = fileName.find_last_of('/');
  const auto dot = fileName.find_last_of('.');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (dot == std::string::npos || dot <= nameStart) return fileName;
  return fileName.substr(0, dot);
}

std::shared_ptr<HLNetLineNodeEntity> HLNetLineNodeEntity::initWithNetNode(
    const JVX_NET_NODE_INFO& node) {
  auto e = std::make_shared<HLNetLineNodeEntity>();
  e->nodeName = node.country.value_or("") + "-" + node.city.value_or("");
  e->countryId = node.country_id;
  e->iconUrlString = HLFlagImageName(node.national_flag.value_or(""));
  e->lockDesc = node.lock.value_or("");
  e->areaId = node.area_id;
  e->selected = false;
  e->locked = !e->lockDesc->empty();
  return e;
}
