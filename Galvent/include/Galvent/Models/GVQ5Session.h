#pragma once
// Session of the game service.

#include "Galvent/Models/GVSession.h"
#include "PexaraAPI/PexaraSchemaModels.h"

struct GVQ5Session : GVSession<PXA_USER_INFO, PXA_SPEED_START_INFO> {
  std::optional<tq::Number> gameId;
  std::optional<std::string> entrance;

  bool operator==(const GVQ5Session&) const = default;
  static constexpr auto fields() {
    using S = GVQ5Session;
    return std::tuple_cat(sessionFields(), std::make_tuple(tq::field("gameId", &S::gameId),
                                                           tq::field("entrance", &S::entrance)));
  }
  static std::optional<GVQ5Session> initWithUserInfo(const std::optional<PXA_USER_INFO>& info) {
    return GVSessionInitWithUserInfo<GVQ5Session>(info);
  }
};
