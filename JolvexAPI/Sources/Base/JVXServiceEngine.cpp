#include "JolvexAPI/JVXServiceEngine.h"

#include <mutex>

#include "JolvexAPI/JVXServiceRequestSerializer.h"
#include "JolvexAPI/JVXServiceResponseSerializer.h"
#include "JolvexAPI/JolvexSchemaCalls.h"
#include "Tovra/REST/CurlTransport.h"
#include "Tovra/REST/TQRestAPI.h"

std::optional<std::string> JVXDomain(const TQAPIConfig& config) {
  return config.configValueForKey(kJVXDomainKey);
}
void set_JVXDomain(std::optional<std::string> domain, TQAPIConfig& config) {
  config.setConfigValue(std::move(domain), kJVXDomainKey);
}

JVXServiceEngine& JVXServiceEngine::sharedEngine() {
  static JVXServiceEngine engine;
  return engine;
}

std::shared_ptr<TQSessionManager> JVXServiceEngine::sharedManager() {
  static std::shared_ptr<TQSessionManager> manager = [] {
    auto m = std::make_shared<TQSessionManager>();
    m->transport = tq::CurlTransport::shared();
    m->requestSerializer = std::make_shared<JVXServiceRequestSerializer>();
    m->responseSerializer = std::make_shared<JVXServiceResponseSerializer>();
    return m;
  }();
  return manager;
}

JVXServiceEngine::JVXServiceEngine() {
  // Linked in with the engine, so every generated call is known wherever calls can be sent.
  JolvexSchemaRegisterCalls();
  manager_ = sharedManager();
  updateHeaderValues();
}

void JVXServiceEngine::processAPI(const std::shared_ptr<TQAPI>& api) {
  static constexpr std::string_view kSlow = "/q5client";
  if (fastAPIMode_) {
    if (auto rest = std::dynamic_pointer_cast<TQRestAPI>(api)) {
      const std::string& path = rest->path();
      if (path.compare(0, kSlow.size(), kSlow) == 0)
        rest->setPath("/fastclient" + path.substr(kSlow.size()));
    }
  }
  TQRestEngine::processAPI(api);
}
