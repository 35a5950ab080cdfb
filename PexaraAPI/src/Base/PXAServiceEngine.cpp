#include "PexaraAPI/PXAServiceEngine.h"

#include "PexaraAPI/PXARequestSerializer.h"
#include "PexaraAPI/PXAResponseSerializer.h"

PXAServiceEngine& PXAServiceEngine::sharedEngine() {
  static PXAServiceEngine engine;
  return engine;
}

std::shared_ptr<TQSessionManager> PXAServiceEngine::sharedManager() {
  static const std::shared_ptr<TQSessionManager> manager = [] {
    auto m = TQSessionManager::makeDefault();
    m->requestSerializer = std::make_shared<PXARequestSerializer>();
    m->responseSerializer = std::make_shared<PXAResponseSerializer>();
    return m;
  }();
  return manager;
}

PXAServiceEngine::PXAServiceEngine() {
  manager_ = sharedManager();
  updateHeaderValues();
}
