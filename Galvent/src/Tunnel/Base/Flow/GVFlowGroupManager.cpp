#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"

#include <nlohmann/json.hpp>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Tunnel/Ombrix/OmbrixFlowGroupManager.h"
#include "Galvent/Tunnel/Pexara/PexaraFlowGroupManager.h"

std::unique_ptr<GVFlowGroupManager> GVFlowGroupManager::managerWithSpeedInfo(
    JVX_SPEED_START_INFO& info) {
  return std::make_unique<OmbrixFlowGroupManager>(info);
}

std::unique_ptr<GVFlowGroupManager> GVFlowGroupManager::managerWithSpeedInfo(
    PXA_SPEED_START_INFO& info) {
  return std::make_unique<PexaraFlowGroupManager>(info);
}

GVFlowGroupManager::~GVFlowGroupManager() = default;

uint64_t GVFlowGroupManager::caculateHashKeyFor(const std::vector<GVEntrance>& entrances,
                                                const std::vector<GVExit>& exits, int64_t level) {
  // A JSON text keeps every ip and addr apart, so two different lists never give one text.
  nlohmann::json canonical = nlohmann::json::array();
  nlohmann::json ips = nlohmann::json::array();
  for (const auto& e : entrances) ips.push_back(e.ip);
  nlohmann::json addrs = nlohmann::json::array();
  for (const auto& x : exits) addrs.push_back(x.addr);
  canonical.push_back(std::move(ips));
  canonical.push_back(std::move(addrs));
  canonical.push_back(level);
  std::string text = canonical.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::lock_guard lock(mutex_);
  auto [it, inserted] = keyIds_.try_emplace(text, keyIds_.size() + 1);
  return it->second;
}

std::shared_ptr<GVFlowGroup> GVFlowGroupManager::flowGroupWithEntrances(
    const std::vector<GVEntrance>& entrances, const std::vector<GVExit>& exits, int64_t level,
    uint16_t rx, uint16_t tx, const std::string& name) {
  if (exits.empty()) return nullptr;
  uint64_t key = caculateHashKeyFor(entrances, exits, level);
  std::lock_guard lock(mutex_);
  if (auto it = flowGroupsMap_.find(key); it != flowGroupsMap_.end()) {
    GVLogInfo("already has same flow group");
    return it->second;
  }
  auto group = std::make_shared<GVFlowGroup>(entrances, exits, level, flowId_, rx, tx, name);
  group->setGroupKeyId(key);
  flowGroupsMap_[key] = group;
  flowGroups_.push_back(group);
  return group;
}

std::shared_ptr<GVFlowGroup> GVFlowGroupManager::groupForKeyId(uint64_t key) const {
  std::lock_guard lock(mutex_);
  auto it = flowGroupsMap_.find(key);
  return it == flowGroupsMap_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<GVFlowGroup>> GVFlowGroupManager::flowGroups() const {
  std::lock_guard lock(mutex_);
  return flowGroups_;
}

std::shared_ptr<GVFlowGroup> GVFlowGroupManager::lastFlowGroup() const {
  std::lock_guard lock(mutex_);
  return flowGroups_.empty() ? nullptr : flowGroups_.back();
}

void GVFlowGroupManager::startAllFlowGroup() {
  for (auto& group : flowGroups()) group->startResolving();
}

void GVFlowGroupManager::stopAllFlowGroup() {
  for (auto& group : flowGroups()) group->stop();
}
