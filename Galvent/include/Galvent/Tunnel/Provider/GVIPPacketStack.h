#pragma once
// First stack of the TUN interface: hands every packet to the packet proxy and writes the
// proxy's incoming packets back to the system; computes the tunnel's network settings.

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Galvent/Tunnel/Base/GVPacketProxy.h"
#include "Galvent/Tunnel/Base/GVPacketProxyDelegate.h"
#include "Mazzle/MZIPStackProtocol.h"
#include "platform/netext/NetworkSettings.h"

class GVIPPacketStack : public MZIPStackProtocol,
                        public GVPacketProxyDelegate,
                        public std::enable_shared_from_this<GVIPPacketStack> {
 public:
  using ProxyFactory = std::function<std::shared_ptr<GVPacketProxy>(
      const nlohmann::json& options, std::weak_ptr<GVPacketProxyDelegate> delegate)>;

  // Asks the packet proxy factory for a proxy with the new stack as its delegate.
  static std::shared_ptr<GVIPPacketStack> initWithOptions(const nlohmann::json& options);
  // The same with another factory (tests).
  static std::shared_ptr<GVIPPacketStack> initWithOptions(const nlohmann::json& options,
                                                          const ProxyFactory& factory);

  std::shared_ptr<GVPacketProxy> proxy() const { return proxy_; }

  bool inputPacket(std::span<const uint8_t> packet, int version) override;
  // Whole only when the flow's kept verdict passes it down; else in segments.
  WholeOffer offerWhole(std::span<uint8_t> packet,
                        const platform::netext::Offload& offload) override;
  void start() override;
  void stop() override;
  void incomingIPPacket(std::vector<uint8_t> packet, GVPacketProxy& fromProxy) override;

  platform::netext::NetworkSettings tunnelNetworkSetting() const;

  // Prefix length text "0".."32" to its dotted mask.
  static const std::map<std::string, std::string>& maskDict();
  // "a.b.c.d" or "a.b.c.d/len"; a length outside the table gives /32. An empty line or one with
  // no address before the slash gives nothing.
  static std::optional<platform::netext::IPv4Route> routeWithIPString(std::string_view line);
  // The routes of a text, one per line, in order; unusable lines are skipped.
  static std::vector<platform::netext::IPv4Route> routesFromText(std::string_view text);
  // A file among the resources; missing or unreadable gives no routes.
  static std::vector<platform::netext::IPv4Route> loadRoutesFromFile(const std::string& fileName);
  std::vector<platform::netext::IPv4Route> loadLocalWhiteRoutes() const;
  std::vector<platform::netext::IPv4Route> loadLoccalBlackRoutes() const;
  static std::vector<platform::netext::IPv4Route> privateIPRoutes();

  // Folder of the resources (route files); the daemon sets it from its command line.
  static void setResourcesDirectory(std::filesystem::path dir);
  static std::filesystem::path resourcesDirectory();

 private:
  GVIPPacketStack() = default;
  std::shared_ptr<GVPacketProxy> proxy_;
};
