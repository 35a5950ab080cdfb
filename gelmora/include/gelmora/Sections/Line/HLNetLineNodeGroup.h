#pragma once
// One group of lines (a country or area) of the line choice. The manager's own group "All" has
// the id -100 and lists every node.
#include <memory>
#include <optional>
#include <string>

#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIModel.h"

inline constexpr int64_t kHLNetLineNodeGroupAllId = -100;

struct HLNetLineNodeGroup : TQAPIModel {
  std::optional<std::string> iconUrlString;
  std::optional<std::string> countryName;
  std::optional<tq::Number> countryId;
  std::optional<bool> selected;

  bool operator==(const HLNetLineNodeGroup&) const = default;
  static constexpr auto fields() {
    using G = HLNetLineNodeGroup;
    return std::make_tuple(
        tq::field("iconUrlString", &G::iconUrlString), tq::field("countryName", &G::countryName),
        tq::field("countryId", &G::countryId), tq::field("selected", &G::selected));
  }

  static std::shared_ptr<HLNetLineNodeGroup> initWithNetNodeGroup(
      const JVX_NET_NODE_GROUP_INFO& group);
  // The group "All".
  static std::shared_ptr<HLNetLineNodeGroup> all();

  bool isSelected() const { return selected.value_or(false); }
  int64_t countryIdValue() const { return countryId ? countryId->intValue() : 0; }
  bool isAll() const { return countryId && countryId->intValue() == kHLNetLineNodeGroupAllId; }
};

using HLNetLineNodeGroupPtr = std::shared_ptr<HLNetLineNodeGroup>;
