#pragma once
// Common engine of the game service: one session manager with the scrambling serialisers,
// shared by the Org and Cn engines. It has no base domain of its own.
#include <memory>

#include "Tovra/REST/TQRestEngine.h"

class PXAServiceEngine : public TQRestEngine {
 public:
  static PXAServiceEngine& sharedEngine();
  // One per process: PXARequestSerializer, PXAResponseSerializer, the shared transport.
  static std::shared_ptr<TQSessionManager> sharedManager();

  PXAServiceEngine();
};
