#pragma once
// Base of the Cn family of game-service calls: sent through PXACnServiceEngine.
#include "PexaraAPI/PXAServiceAPI.h"

class PXACnServiceAPI : public PXAServiceAPI {
 public:
  TQAPIEngine& engine() override;
  std::string className() const override { return "PXACnServiceAPI"; }
};
