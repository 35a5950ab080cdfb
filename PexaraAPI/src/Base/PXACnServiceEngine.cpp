#include "PexaraAPI/PXACnServiceEngine.h"

#include "Tovra/Base/TQAPIConfig.h"

namespace {
constexpr const char* kDomainKey = "PXACnDomain";
}  // namespace

PXACnServiceEngine& PXACnServiceEngine::sharedEngine() {
  static PXACnServiceEngine engine;
  return engine;
}

std::optional<std::string> PXACnServiceEngine::baseDomain() const { return PXACnDomain(); }

std::optional<std::string> PXACnDomain() {
  return TQAPIConfig::sharedInstance().configValueForKey(kDomainKey);
}

void set_PXACnDomain(std::optional<std::string> domain) {
  TQAPIConfig::sharedInstance().setConfigValue(std::move(domain), kDomainKey);
}
