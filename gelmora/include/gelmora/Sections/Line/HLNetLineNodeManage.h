#pragma once
// The line lists of the account service and the current choice. One manager per opened line
// choice (and one for the first fetch of the acceleration screen); the chosen line and the
// default line (first of the latest answer) persist in the defaults, so they outlive it.
// Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "gelmora/Sections/Line/HLNetLineNodeGroup.h"
#include "platform/reactive/Signal.h"

class AppUserDefaults;
class TsUserController;

// Posted (no object) by the line choice after the chosen line changed.
inline constexpr const char* HLNetNodeChangedNotification = "HLNetNodeChangedNotification";

class HLNetLineNodeManage {
 public:
  // Collaborators default to the locator's.
  HLNetLineNodeManage();
  HLNetLineNodeManage(AppUserDefaults& defaults, std::function<std::optional<int64_t>()> uid);
  ~HLNetLineNodeManage();
  HLNetLineNodeManage(const HLNetLineNodeManage&) = delete;
  HLNetLineNodeManage& operator=(const HLNetLineNodeManage&) = delete;

  // Cold: each subscription sends one request. The answer updates the lists, the selection and
  // the stored lines before subscribers see it; a failure changes nothing.
  platform::reactive::Signal<JVX_RESP_RULE_GET_EXIT_SET> fetchNetLineNodeInfo();

  // What an answer does (also reached by the fuzz target).
  void applyAnswer(const JVX_RESP_RULE_GET_EXIT_SET& answer);

  // Marks and persists the chosen line; none removes the stored one.
  void setSelectedNetNode(HLNetLineNodeEntityPtr node);
  void setSelectedNetNodeGroup(HLNetLineNodeGroupPtr group);
  // The nodes of the selected group: every node for "All" (or no group), else those of its id.
  std::vector<HLNetLineNodeEntityPtr> netNodesInselectedGroup() const;
  bool isSelectNetNode(HLNetLineNodeEntity& node) const;
  bool isSelectNetNodeGroup(HLNetLineNodeGroup& group) const;

  const HLNetLineNodeGroupPtr& selectedNetNodeGroup() const { return selectedGroup_; }
  const HLNetLineNodeEntityPtr& selectedNetNode() const { return selectedNode_; }
  const std::vector<HLNetLineNodeEntityPtr>& allNetNodes() const { return nodes_; }
  void setAllNetNodes(std::vector<HLNetLineNodeEntityPtr> nodes) { nodes_ = std::move(nodes); }
  const std::vector<HLNetLineNodeGroupPtr>& allNetNodeGroups() const { return groups_; }
  void setAllNetNodeGroups(std::vector<HLNetLineNodeGroupPtr> groups) {
    groups_ = std::move(groups);
  }

 private:
  AppUserDefaults& defaults_;
  std::function<std::optional<int64_t>()> uid_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  HLNetLineNodeGroupPtr selectedGroup_;
  HLNetLineNodeEntityPtr selectedNode_;
  std::vector<HLNetLineNodeEntityPtr> nodes_;
  std::vector<HLNetLineNodeGroupPtr> groups_;
};
