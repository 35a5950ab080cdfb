#pragma once
// Session of the line service.

#include <nlohmann/json.hpp>

#include "Galvent/Models/GVSession.h"
#include "JolvexAPI/JolvexSchemaModels.h"

struct GVTsSession : GVSession<JVX_USER_INFO, JVX_SPEED_START_INFO> {
  // Passed unchanged into the rule-list request: kept as the JSON values they came as.
  std::optional<std::vector<nlohmann::json>> entrances;
  std::optional<std::vector<JVX_EXIT>> exits;
  std::optional<bool> fastAPIMode;
  std::optional<std::string> areaId;
  std::optional<tq::Number> accelerationMode;
  std::optional<std::vector<nlohmann::json>> ruleGroups;

  bool operator==(const GVTsSession&) const = default;
  static constexpr auto fields() {
    using S = GVTsSession;
    return std::tuple_cat(
        sessionFields(),
        std::make_tuple(tq::field("entrances", &S::entrances), tq::field("exits", &S::exits),
                        tq::field("fastAPIMode", &S::fastAPIMode), tq::field("areaId", &S::areaId),
                        tq::field("accelerationMode", &S::accelerationMode),
                        tq::field("ruleGroups", &S::ruleGroups)));
  }
  static std::optional<GVTsSession> initWithUserInfo(const std::optional<JVX_USER_INFO>& info) {
    return GVSessionInitWithUserInfo<GVTsSession>(info);
  }
};
