#pragma once
// Engine of the account, line and shop service. It and the feedback engine send through one
// session manager whose serialisers speak the AES envelope.
#include <memory>
#include <optional>
#include <string>

#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/REST/TQRestEngine.h"

// Base domain of the service in the configuration context: a bare host, optional port.
std::optional<std::string> JVXDomain(const TQAPIConfig& config = TQAPIConfig::sharedInstance());
void set_JVXDomain(std::optional<std::string> domain,
                   TQAPIConfig& config = TQAPIConfig::sharedInstance());

inline constexpr const char* kJVXDomainKey = "JVXDomain";

class JVXServiceEngine : public TQRestEngine {
 public:
  static JVXServiceEngine& sharedEngine();
  // The one session manager of both engines, made on first use with the envelope serialisers.
  static std::shared_ptr<TQSessionManager> sharedManager();

  JVXServiceEngine();

  bool fastAPIMode() const { return fastAPIMode_; }
  void setFastAPIMode(bool on) { fastAPIMode_ = on; }

  std::optional<std::string> baseDomain() const override { return JVXDomain(); }
  std::optional<std::string> rootPath() const override { return std::string(); }

  // With fastAPIMode on, "/q5client..." goes out as "/fastclient..." (the call keeps it).
  void processAPI(const std::shared_ptr<TQAPI>& api) override;

 private:
  bool fastAPIMode_ = false;
};
