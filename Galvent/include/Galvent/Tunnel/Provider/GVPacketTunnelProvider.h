#pragma once
// Principal class of the tunnel process: builds the TUN interface and its stacks over the
// packet flow, applies the tunnel's network settings, restarts on network changes, records why
// it stopped and answers the application's traffic query.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Galvent/Tunnel/Provider/GVIPPacketStack.h"
#include "Mazzle/MZProxyServer.h"
#include "Mazzle/MZTCPStack.h"
#include "Mazzle/MZTUNInterface.h"
#include "platform/netext/PacketTunnelProvider.h"
#include "platform/notifications/NotificationCenter.h"

class GVPacketTunnelProvider : public platform::netext::PacketTunnelProvider {
 public:
  static constexpr const char* kErrorDomain = "GVPacketTunnelProvider";
  // Codes of the provider's own start errors.
  static constexpr int64_t kNoProxyMatched = 1;

  GVPacketTunnelProvider();
  ~GVPacketTunnelProvider() override;

  void startTunnel(const nlohmann::json& options, ErrorCompletion completion) override;
  void stopTunnel(int64_t reason, std::function<void()> completion) override;
  void handleAppMessage(const std::string& data, ReplyCompletion completion) override;
  void sleep(std::function<void()> completion) override;
  void wake() override;

  void queueCall(std::function<void()> work);
  std::string dnsServer() const;

  void setUpLogger();
  void prepareInterface();
  void startConnectionWithCompletionHandler(ErrorCompletion completion);
  void startTunInterface();
  void stopTunInterface();
  void restartTunInterface();
  void serverKickout(const platform::notifications::Notification& note);
  void interfaceDidChange();
  void interfaceDidNotReachable();

  std::shared_ptr<MZProxyServer> proxyServer();
  std::shared_ptr<MZTUNInterface> interface() const;
  std::shared_ptr<GVIPPacketStack> mainStack() const;
  std::shared_ptr<MZTCPStack> tcpStack() const;
  std::chrono::steady_clock::time_point startTime() const;

  // The proxy factory the start uses (tests replace it).
  void setProxyFactory(GVIPPacketStack::ProxyFactory factory);
  // Whether the network monitor was started by the last start.
  bool monitoringInterface() const;

 private:
  std::weak_ptr<GVPacketTunnelProvider> weakSelf();

  mutable std::mutex mutex_;
  std::shared_ptr<MZProxyServer> proxyServer_;
  std::shared_ptr<MZTUNInterface> interface_;
  std::shared_ptr<GVIPPacketStack> mainStack_;
  std::shared_ptr<MZTCPStack> tcpStack_;
  std::chrono::steady_clock::time_point startTime_{};
  GVIPPacketStack::ProxyFactory proxyFactory_;
  bool monitoring_ = false;
  platform::notifications::Observation kickoffObservation_;
  platform::notifications::Observation interfaceObservation_;
};
