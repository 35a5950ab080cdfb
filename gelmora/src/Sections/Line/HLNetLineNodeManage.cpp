#include "gelmora/Sections/Line/HLNetLineNodeManage.h"

#include "Galvent/Category/RAC.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"

HLNetLineNodeManage::HLNetLineNodeManage()
    : HLNetLineNodeManage(app().defaults(), [] { return app().user().uid(); }) {}

HLNetLineNodeManage::HLNetLineNodeManage(AppUserDefaults& defaults,
                                         std::function<std::optional<int64_t>()> uid)
    : defaults_(defaults), uid_(std::move(uid)) {}

HLNetLineNodeManage::~HLNetLineNodeManage() { *alive_ = false; }

platform::reactive::Signal<JVX_RESP_RULE_GET_EXIT_SET> HLNetLineNodeManage::fetchNetLineNodeInfo() {
  auto call = std::make_shared<JVX_API_RULE_GET_EXIT_SET>();
  if (uid_) {
    if (auto uid = uid_()) call->req().uid = tq::Number(*uid);
  }
  call->req().mac = TQAPIConfig::sharedInstance().userIdentify();
  std::weak_ptr<bool> alive = alive_;
  return RAC::rac_send(call)
      .map([](const nlohmann::json& dict) {
        TQError error;
        if (auto m = tq::fromDictionary<JVX_RESP_RULE_GET_EXIT_SET>(dict, &error)) return *m;
        gelmora::logLine("line list answer unreadable: " + error.description);
        return JVX_RESP_RULE_GET_EXIT_SET{};
      })
      .doNext([this, alive](const JVX_RESP_RULE_GET_EXIT_SET& answer) {
        if (auto a = alive.lock(); a && *a) applyAnswer(answer);
      });
}

void HLNetLineNodeManage::applyAnswer(const JVX_RESP_RULE_GET_EXIT_SET& answer) {
  std::vector<HLNetLineNodeGroupPtr> groups;
  if (answer.group) {
    for (const auto& info : *answer.group) {
      auto group = HLNetLineNodeGroup::initWithNetNodeGroup(info);
      groups.push_back(group);
      // The listed group carries over to the new answer's object of the same id.
      if (selectedGroup_ && selectedGroup_->countryIdValue() == group->countryIdValue())
        setSelectedNetNodeGroup(group);
    }
  }

  const HLNetLineNodeEntityPtr stored = defaults_.selectedNetNode();
  std::vector<HLNetLineNodeEntityPtr> nodes;
  HLNetLineNodeEntityPtr candidate;
  if (answer.list) {
    for (const auto& info : *answer.list) {
      if (!info.area_id) {
        // Without its identity a node can be neither chosen again nor asked for by the rules.
        gelmora::logLine("line list: node without area_id skipped");
        continue;
      }
      auto node = HLNetLineNodeEntity::initWithNetNode(info);
      nodes.push_back(node);
      if (stored && stored->sameArea(*node) && !node->isLocked()) candidate = node;
    }
  }

  groups.insert(groups.begin(), HLNetLineNodeGroup::all());
  nodes_ = nodes;
  groups_ = groups;

  // A stored line that is now locked or gone gives way to the first open line, so the user is
  // never left on a line the account cannot use while an open one exists.
  if (!candidate) {
    for (const auto& node : nodes) {
      if (!node->isLocked()) {
        candidate = node;
        break;
      }
    }
  }
  if (!candidate && !nodes.empty()) candidate = nodes.front();
  if (nodes.empty()) gelmora::logLine("line list is empty: the stored lines are cleared");
  setSelectedNetNode(candidate);

  setSelectedNetNodeGroup(selectedGroup_ ? selectedGroup_ : groups.front());
  defaults_.setDefaultsNetNode(nodes.empty() ? nullptr : nodes.front());
}

void HLNetLineNodeManage::setSelectedNetNode(HLNetLineNodeEntityPtr node) {
  if (selectedNode_) selectedNode_->selected = false;
  selectedNode_ = std::move(node);
  if (selectedNode_) selectedNode_->selected = true;
  defaults_.setSelectedNetNode(selectedNode_);
}

void HLNetLineNodeManage::setSelectedNetNodeGroup(HLNetLineNodeGroupPtr group) {
  if (selectedGroup_) selectedGroup_->selected = false;
  selectedGroup_ = std::move(group);
  if (selectedGroup_) selectedGroup_->selected = true;
}

std::vector<HLNetLineNodeEntityPtr> HLNetLineNodeManage::netNodesInselectedGroup() const {
  if (!selectedGroup_ || selectedGroup_->isAll()) return nodes_;
  std::vector<HLNetLineNodeEntityPtr> out;
  for (const auto& node : nodes_) {
    if (node->countryId && node->countryId->intValue() == selectedGroup_->countryIdValue())
      out.push_back(node);
  }
  return out;
}

bool HLNetLineNodeManage::isSelectNetNode(HLNetLineNodeEntity& node) const {
  const bool yes = selectedNode_ && selectedNode_->sameArea(node);
  node.selected = yes;
  return yes;
}

bool HLNetLineNodeManage::isSelectNetNodeGroup(HLNetLineNodeGroup& group) const {
  const bool yes = selectedGroup_ && selectedGroup_->countryIdValue() == group.countryIdValue();
  group.selected = yes;
  return yes;
}
