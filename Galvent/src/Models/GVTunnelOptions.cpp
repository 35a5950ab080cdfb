#include "Galvent/Models/GVTunnelOptions.h"

#include <atomic>

namespace {
std::atomic<std::shared_ptr<const GVTunnelOptions>> gCurrent;

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
