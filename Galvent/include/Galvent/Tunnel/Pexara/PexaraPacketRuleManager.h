#pragma once
// Rules of the game variant, from the game service's start information.

#include "Galvent/Tunnel/Base/Rule/GVPacketRuleManager.h"

class PexaraPacketRuleManager : public GVPacketRuleManager {
 public:
  explicit PexaraPacketRuleManager(const PXA_SPEED_START_INFO& info);
  void buildRulesWithSpeedInfo(const PXA_SPEED_START_INFO& info);
};
