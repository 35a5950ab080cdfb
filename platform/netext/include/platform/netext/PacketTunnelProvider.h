#pragma once
// Base of a packet tunnel provider: what a provider uses of its host (network settings, the
// packet flow, the reasserting flag, cancelling) and what the host calls on it. The host is the
// tunnel daemon; tests install their own handlers.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/netext/ControlMessage.h"
#include "platform/netext/DnsConfigurator.h"
#include "platform/netext/NetworkSettings.h"
#include "platform/netext/PacketFlow.h"

namespace platform::netext {

class PacketTunnelProvider : public std::enable_shared_from_this<PacketTunnelProvider> {
 public:
  using ErrorCompletion = std::function<void(std::optional<ControlError>)>;
  using ReplyCompletion = std::function<void(std::optional<std::string>)>;

  virtual ~PacketTunnelProvider() = default;

  // Called by the host.
  virtual void startTunnel(const nlohmann::json& options, ErrorCompletion completion) = 0;
  virtual void stopTunnel(int64_t reason, std::function<void()> completion) = 0;
  virtual void handleAppMessage(const std::string& /*data*/, ReplyCompletion completion) {
    completion(std::nullopt);
  }
  virtual void sleep(std::function<void()> completion) { completion(); }
  virtual void wake() {}

  // Used by the provider. Applies (or, with nullptr, removes) the settings and then calls the
  // completion with the outcome, on the calling thread.
  void setTunnelNetworkSettings(const NetworkSettings* settings, ErrorCompletion completion);
  std::shared_ptr<PacketFlow> packetFlow() const;
  bool reasserting() const;
  void setReasserting(bool on);
  // Ends the tunnel from the provider's side: the host undoes settings and reports the error.
  void cancelTunnelWithError(std::optional<ControlError> error);

  // Wiring by the host.
  void setPacketFlow(std::shared_ptr<PacketFlow> flow);
  void setSettingsApplier(std::shared_ptr<NetworkSettingsApplier> applier);
  void setDnsConfigurator(std::shared_ptr<DnsConfigurator> dns);
  void setCancelHandler(ErrorCompletion handler);
  void setReassertingHandler(std::function<void(bool)> handler);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<PacketFlow> flow_;
  std::shared_ptr<NetworkSettingsApplier> applier_;
  std::shared_ptr<DnsConfigurator> dns_;
  ErrorCompletion cancelHandler_;
  std::function<void(bool)> reassertingHandler_;
  bool reasserting_ = false;
};

}  // namespace platform::netext
