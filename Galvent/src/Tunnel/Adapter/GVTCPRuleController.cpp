#include "Galvent/Tunnel/Adapter/GVTCPRuleController.h"

#include "Galvent/Models/GVTunnelOptions.h"

GVTCPRuleController::GVTCPRuleController() {
  auto options = GVTunnelOptions::currentOptions();
  std::string host = options && options->httpsProxyServer ? *options->httpsProxyServer : "";
  int32_t port = options && options->httpsProxyPort ? *options->httpsProxyPort : 0;
  httpAdapterFactory_ = std::make_shared<GVHTTPAdapterFactory>(
      host, static_cast<uint16_t>(port > 0 && port < 65536 ? port : 0));
}

bool GVTCPRuleController::matchHttpProxyDomainSession(const MZConnectSession& session) const {
  auto options = GVTunnelOptions::currentOptions();
  if (!options || !options->httpsProxyMatchDomains) return false;
  for (const auto& domain : *options->httpsProxyMatchDomains) {
    // An empty entry would match every host.
    if (!domain.empty() && session.domainHost.find(domain) != std::string::npos) return true;
  }
  return false;
}

std::shared_ptr<MZAdapterFactory> GVTCPRuleController::matchSession(
    const MZConnectSession& session) {
  if (matchHttpProxyDomainSession(session)) return httpAdapterFactory_;
  return MZRuleManager::matchSession(session);
}
