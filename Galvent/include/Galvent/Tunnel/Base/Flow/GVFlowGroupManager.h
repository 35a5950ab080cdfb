#pragma once
// All flow groups of one tunnel session, keyed by their entrances, exits and level. The variants
// fill it from their start information and write the group keys into the rules' traffic ids.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Galvent/Tunnel/Base/Flow/GVFlowGroup.h"

struct JVX_SPEED_START_INFO;
struct PXA_SPEED_START_INFO;

class GVFlowGroupManager {
 public:
  // An Ombrix manager for line-service start information, a Pexara manager for game-service
  // start information (both write group keys into the info's traffic ids), nothing otherwise.
  static std::unique_ptr<GVFlowGroupManager> managerWithSpeedInfo(JVX_SPEED_START_INFO& info);
  static std::unique_ptr<GVFlowGroupManager> managerWithSpeedInfo(PXA_SPEED_START_INFO& info);
  template <class Other>
  static std::unique_ptr<GVFlowGroupManager> managerWithSpeedInfo(Other&) {
    return nullptr;
  }

  GVFlowGroupManager() = default;
  virtual ~GVFlowGroupManager();
  GVFlowGroupManager(const GVFlowGroupManager&) = delete;
  GVFlowGroupManager& operator=(const GVFlowGroupManager&) = delete;

  // The group for these servers, made on first use; null when exits is empty. A second call
  // with the same entrance ips, exit addrs and level gives the first group unchanged.
  std::shared_ptr<GVFlowGroup> flowGroupWithEntrances(const std::vector<GVEntrance>& entrances,
                                                      const std::vector<GVExit>& exits,
                                                      int64_t level, uint16_t rx, uint16_t tx,
                                                      const std::string& name);
  // Key of a group: a sequential id from 1 per distinct (entrance ips, exit addrs, level), so
  // different server lists never share a key.
  uint64_t caculateHashKeyFor(const std::vector<GVEntrance>& entrances,
                              const std::vector<GVExit>& exits, int64_t level);
  std::shared_ptr<GVFlowGroup> groupForKeyId(uint64_t key) const;

  // In creation order.
  std::vector<std::shared_ptr<GVFlowGroup>> flowGroups() const;
  std::shared_ptr<GVFlowGroup> lastFlowGroup() const;
  int64_t flowId() const { return flowId_; }
  void setFlowId(int64_t id) { flowId_ = id; }

  // Main queue.
  void startAllFlowGroup();
  void stopAllFlowGroup();

 protected:
  int64_t flowId_ = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<GVFlowGroup>> flowGroups_;
  std::map<uint64_t, std::shared_ptr<GVFlowGroup>> flowGroupsMap_;
  std::map<std::string, uint64_t> keyIds_;
};
