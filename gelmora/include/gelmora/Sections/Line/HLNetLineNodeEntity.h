#pragma once
// One line (exit node of the relay network) as the line choice shows it. Stored as JSON text in
// the defaults (keys are the property names), read back with tq::fromJSON.
#include <memory>
#include <optional>
#include <string>

#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIModel.h"

struct HLNetLineNodeEntity : TQAPIModel {
  std::optional<std::string> iconUrlString;  // flag image name (file name without extension)
  std::optional<std::string> nodeName;       // "country-city"
  std::optional<tq::Number> areaId;          // the node's identity everywhere
  std::optional<tq::Number> countryId;       // the group it belongs to
  std::optional<std::string> lockDesc;       // package that unlocks it; empty when open
  std::optional<bool> locked;
  std::optional<bool> selected;

  bool operator==(const HLNetLineNodeEntity&) const = default;
  static constexpr auto fields() {
    using E = HLNetLineNodeEntity;
    return std::make_tuple(tq::field("iconUrlString", &E::iconUrlString),
                           tq::field("nodeName", &E::nodeName), tq::field("areaId", &E::areaId),
                           tq::field("countryId", &E::countryId),
                           tq::field("lockDesc", &E::lockDesc), tq::field("locked", &E::locked),
                           tq::field("selected", &E::selected));
  }

  static std::shared_ptr<HLNetLineNodeEntity> initWithNetNode(const JVX_NET_NODE_INFO& node);

  bool isLocked() const { return locked.value_or(false); }
  bool isSelected() const { return selected.value_or(false); }
  // Same area id by value (5 equals 5.0); a node without one matches nothing.
  bool sameArea(const HLNetLineNodeEntity& other) const {
    return areaId && other.areaId && *areaId == *other.areaId;
  }
};

using HLNetLineNodeEntityPtr = std::shared_ptr<HLNetLineNodeEntity>;

// The file name's last extension removed ("cn.png" -> "cn"); a leading dot is no extension.
std::string HLFlagImageName(const std::string& fileName);
