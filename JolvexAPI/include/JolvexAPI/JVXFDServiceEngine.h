#pragma once
// Engine of the feedback service: the account engine's envelope and session manager, its own
// base domain and its own (never set) fast-path switch.
#include <optional>
#include <string>

#include "JolvexAPI/JVXServiceEngine.h"

// Base domain of the feedback service in the configuration context.
std::optional<std::string> JVXFDDomain(const TQAPIConfig& config = TQAPIConfig::sharedInstance());
void set_JVXFDDomain(std::optional<std::string> domain,
                     TQAPIConfig& config = TQAPIConfig::sharedInstance());

inline constexpr const char* kJVXFDDomainKey = "JVXFDDomain";

class JVXFDServiceEngine : public JVXServiceEngine {
 public:
  static JVXFDServiceEngine& sharedEngine();
  std::optional<std::string> baseDomain() const override { return JVXFDDomain(); }
};
