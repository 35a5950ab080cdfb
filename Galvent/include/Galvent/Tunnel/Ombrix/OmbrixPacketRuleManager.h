#pragma once
// Rules of the line variant, from the line service's start information.

#include "Galvent/Tunnel/Base/Rule/GVPacketRuleManager.h"

class OmbrixPacketRuleManager : public GVPacketRuleManager {
 public:
  explicit OmbrixPacketRuleManager(const JVX_SPEED_START_INFO& info);
  void buildRulesWithSpeedInfo(const JVX_SPEED_START_INFO& info);
};
