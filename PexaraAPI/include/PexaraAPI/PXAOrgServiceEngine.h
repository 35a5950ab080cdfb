#pragma once
// Engine of the Org family of game-service calls; its host is the configuration value
// "PXAOrgDomain" (a bare host, optionally with a port).
#include <optional>
#include <string>

#include "PexaraAPI/PXAServiceEngine.h"

class PXAOrgServiceEngine : public PXAServiceEngine {
 public:
  static PXAOrgServiceEngine& sharedEngine();

  std::optional<std::string> baseDomain() const override;
  std::optional<std::string> rootPath() const override { return std::string(); }
};

// The base domain of the Org family in TQAPIConfig; no value removes it.
std::optional<std::string> PXAOrgDomain();
void set_PXAOrgDomain(std::optional<std::string> domain);
