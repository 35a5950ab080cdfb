#pragma once
// Engine of the Cn family of game-service calls; its host is the configuration value
// "PXACnDomain" (a bare host, optionally with a port).
#include <optional>
#include <string>

#include "PexaraAPI/PXAServiceEngine.h"

class PXACnServiceEngine : public PXAServiceEngine {
 public:
  static PXACnServiceEngine& sharedEngine();

  std::optional<std::string> baseDomain() const override;
  std::optional<std::string> rootPath() const override { return std::string(); }
};

// The base domain of the Cn family in TQAPIConfig; no value removes it.
std::optional<std::string> PXACnDomain();
void set_PXACnDomain(std::optional<std::string> domain);
