#include "platform/netext/PacketTunnelProvider.h"

namespace platform::netext {

void PacketTunnelProvider::setTunnelNetworkSettings(const NetworkSettings* settings,
                                                    ErrorCompletion completion) {
  std::shared_ptr<NetworkSettingsApplier> applier;
  std::shared_ptr<DnsConfigurator> dns;
  {
    std::lock_guard lock(mutex_);
    applier = applier_;
    dns = dns_;
  }
  std::optional<ControlError> error;
  if (dns && (!settings || !settings->dnsSettings)) dns->restore();
  if (applier) error = applier->apply(settings);
  if (!error && dns && settings && settings->dnsSettings) {
    error = dns->apply(settings->dnsSettings->servers, settings->dnsSettings->matchDomains);
  }
  if (completion) completion(error);
}

std::shared_ptr<PacketFlow> PacketTunnelProvider::packetFlow() const {
  std::lock_guard lock(mutex_);
  return flow_;
}

bool PacketTunnelProvider::reasserting() const {
  std::lock_guard lock(mutex_);
  return reasserting_;
}

void PacketTunnelProvider::setReasserting(bool on) {
  std::function<void(bool)> handler;
  {
    std::lock_guard lock(mutex_);
    if (reasserting_ == on) return;
    reasserting_ = on;
    handler = reassertingHandler_;
  }
  if (handler) handler(on);
}

void PacketTunnelProvider::cancelTunnelWithError(std::optional<ControlError> error) {
  ErrorCompletion handler;
  {
    std::lock_guard lock(mutex_);
    handler = cancelHandler_;
  }
  if (handler) handler(std::move(error));
}

void PacketTunnelProvider::setPacketFlow(std::shared_ptr<PacketFlow> flow) {
  std::lock_guard lock(mutex_);
  flow_ = std::move(flow);
}

void PacketTunnelProvider::setSettingsApplier(std::shared_ptr<NetworkSettingsApplier> applier) {
  std::lock_guard lock(mutex_);
  applier_ = std::move(applier);
}

void PacketTunnelProvider::setDnsConfigurator(std::shared_ptr<DnsConfigurator> dns) {
  std::lock_guard lock(mutex_);
  dns_ = std::move(dns);
}

void PacketTunnelProvider::setCancelHandler(ErrorCompletion handler) {
  std::lock_guard lock(mutex_);
  cancelHandler_ = std::move(handler);
}

void PacketTunnelProvider::setReassertingHandler(std::function<void(bool)> handler) {
  std::lock_guard lock(mutex_);
  reassertingHandler_ = std::move(handler);
}

}  // namespace platform::netext
