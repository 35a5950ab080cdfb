#include "JolvexAPI/JVXFDServiceEngine.h"

std::optional<std::string> JVXFDDomain(const TQAPIConfig& config) {
  return config.configValueForKey(kJVXFDDomainKey);
}
void set_JVXFDDomain(std::optional<std::string> domain, TQAPIConfig& config) {
  config.setConfigValue(std::move(domain), kJVXFDDomainKey);
}

JVXFDServiceEngine& JVXFDServiceEngine::sharedEngine() {
  static JVXFDServiceEngine engine;
  return engine;
}
