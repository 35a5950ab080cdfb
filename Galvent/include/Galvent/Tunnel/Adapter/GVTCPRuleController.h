#pragma once
// Sends TCP connections to the listed HTTPS-proxy domains through the masked proxy; the kit's
// own choice otherwise.

#include <memory>

#include "Galvent/Tunnel/Adapter/GVHTTPAdapter.h"
#include "Mazzle/MZRuleManager.h"

class GVTCPRuleController : public MZRuleManager {
 public:
  // Reads the proxy's host and port from the current options once.
  GVTCPRuleController();
  std::shared_ptr<MZAdapterFactory> matchSession(const MZConnectSession& session) override;
  bool matchHttpProxyDomainSession(const MZConnectSession& session) const;
  std::shared_ptr<GVHTTPAdapterFactory> httpAdapterFactory() const { return httpAdapterFactory_; }

 private:
  std::shared_ptr<GVHTTPAdapterFactory> httpAdapterFactory_;
};
