#pragma once
// Base of the Org family of game-service calls: sent through PXAOrgServiceEngine.
#include "PexaraAPI/PXAServiceAPI.h"

class PXAOrgServiceAPI : public PXAServiceAPI {
 public:
  TQAPIEngine& engine() override;
  std::string className() const override { return "PXAOrgServiceAPI"; }
};
