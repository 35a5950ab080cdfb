#include "PexaraAPI/PXAOrgServiceEngine.h"

#include "Tovra/Base/TQAPIConfig.h"

namespace {
constexpr const char* kDomainKey = "PXAOrgDomain";
}  // namespace

PXAOrgServiceEngine& PXAOrgServiceEngine::sharedEngine() {
  static PXAOrgServiceEngine engine;
  return engine;
}

std::optional<std::string> PXAOrgServiceEngine::baseDomain() const { return PXAOrgDomain(); }

std::optional<std::string> PXAOrgDomain() {
  return TQAPIConfig::sharedInstance().configValueForKey(kDomainKey);
}

void set_PXAOrgDomain(std::optional<std::string> domain) {
  TQAPIConfig::sharedInstance().setConfigValue(std::move(domain), kDomainKey);
}
