// The stored lines of AppUserDefaults.
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"

std::shared_ptr<HLNetLineNodeEntity> AppUserDefaults::node(const char* key) const {
  auto stored = text(key);
  if (!stored || stored->empty()) return nullptr;
  TQError error;
  auto node = tq::fromJSON<HLNetLineNodeEntity>(*stored, &error);
  if (!node) {
    gelmora::logLine(std::string("stored line ") + key + " unreadable: " + error.description);
    return nullptr;
  }
  return std::make_shared<HLNetLineNodeEntity>(std::move(*node));
}

void AppUserDefaults::setNode(const char* key, const std::shared_ptr<HLNetLineNodeEntity>& node) {
  setText(key, node ? std::optional<std::string>(tq::toJSON(*node)) : std::nullopt);
}

std::shared_ptr<HLNetLineNodeEntity> AppUserDefaults::selectedNetNode() const {
  return node("selectedNetNode");
}
void AppUserDefaults::setSelectedNetNode(const std::shared_ptr<HLNetLineNodeEntity>& node) {
  setNode("selectedNetNode", node);
}
std::shared_ptr<HLNetLineNodeEntity> AppUserDefaults::defaultsNetNode() const {
  return node("defaultsNetNode");
}
void AppUserDefaults::setDefaultsNetNode(const std::shared_ptr<HLNetLineNodeEntity>& node) {
  setNode("defaultsNetNode", node);
}
