#pragma once
// Flow groups of the game variant: one per traffic group of the start information.

#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"
#include "PexaraAPI/PexaraSchemaModels.h"

class PexaraFlowGroupManager : public GVFlowGroupManager {
 public:
  // Writes each group's key into the traffic ids of its destinations.
  explicit PexaraFlowGroupManager(PXA_SPEED_START_INFO& info);
  void extractFlowGroupWithSpeedInfo(PXA_SPEED_START_INFO& info);
};
