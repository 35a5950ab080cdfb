#include "Galvent/Models/GVTunnelOptions.h"

#include <atomic>

#include "GVJsonFields.h"

namespace {
std::atomic<std::shared_ptr<const GVTunnelOptions>> gCurrent;

template <typename Fn>
void eachField(Fn&& fn, auto& o) {
  fn("dnsServer", o.dnsServer);
  fn("settingDnsServer", o.settingDnsServer);
  fn("groupIdentifier", o.groupIdentifier);
  fn("ipDataFile", o.ipDataFile);
  fn("errorFile", o.errorFile);
  fn("blackRouteFile", o.blackRouteFile);
  fn("whiteRouteFile", o.whiteRouteFile);
  fn("httpsProxyMatchDomains", o.httpsProxyMatchDomains);
  fn("httpsProxyServer", o.httpsProxyServer);
  fn("httpsProxyPort", o.httpsProxyPort);
  fn("dnsRejectDomains", o.dnsRejectDomains);
  fn("recordTrafficEnable", o.recordTrafficEnable);
  fn("logReportEnable", o.logReportEnable);
  fn("logEnable", o.logEnable);
  fn("logRuleAdd", o.logRuleAdd);
  fn("logInterceptPacket", o.logInterceptPacket);
  fn("logGameAdapterResp", o.logGameAdapterResp);
  fn("logFlowGroupHeartbeat", o.logFlowGroupHeartbeat);
  fn("logPerformance", o.logPerformance);
  fn("ignoreHeartbeatKickout", o.ignoreHeartbeatKickout);
  fn("globalProxy", o.globalProxy);
  fn("EDNSEnable", o.EDNSEnable);
  fn("observeInterfaceChange", o.observeInterfaceChange);
  fn("MTU", o.MTU);
}
}  // namespace

GVTunnelOptions GVTunnelOptions::defaultOptions() {
  GVTunnelOptions o;
  o.dnsServer = GVDefaultDnsServer;
  o.settingDnsServer = "198.18.0.1";
  o.ipDataFile = "ip.data";
  o.errorFile = "error.txt";
  o.blackRouteFile = "black_route.txt";
  o.whiteRouteFile = "white_route.txt";
  o.recordTrafficEnable = false;
  o.logEnable = false;
  o.logRuleAdd = true;
  o.logInterceptPacket = true;
  o.logGameAdapterResp = true;
  o.logFlowGroupHeartbeat = true;
  o.logPerformance = true;
  o.ignoreHeartbeatKickout = false;
  o.globalProxy = false;
  o.EDNSEnable = false;
  o.observeInterfaceChange = true;
  o.MTU = 1400;
  return o;
}

std::shared_ptr<const GVTunnelOptions> GVTunnelOptions::currentOptions() {
  auto current = gCurrent.load();
  if (current) return current;
  // Two first readers may race: only one default object wins, both see it.
  std::shared_ptr<const GVTunnelOptions> fresh =
      std::make_shared<const GVTunnelOptions>(defaultOptions());
  std::shared_ptr<const GVTunnelOptions> expected;
  if (gCurrent.compare_exchange_strong(expected, fresh)) return fresh;
  return expected;
}

void GVTunnelOptions::setCurrentOptions(std::shared_ptr<const GVTunnelOptions> options) {
  gCurrent.store(std::move(options));
}

nlohmann::json GVTunnelOptions::toDictionary() const {
  nlohmann::json out = nlohmann::json::object();
  eachField([&](const char* key, const auto& member) { gvjson::put(out, key, member); }, *this);
  return out;
}

std::optional<GVTunnelOptions> GVTunnelOptions::fromDictionary(const nlohmann::json& dict) {
  if (!dict.is_object()) return std::nullopt;
  GVTunnelOptions o;
  eachField([&](const char* key, auto& member) { gvjson::get(dict, key, member); }, o);
  return o;
}
