#pragma once
// Packet proxy of the line variant: a DNS flow group and one per traffic rule, DNS queries of DNS
// rules carried through the tunnel, path batch reports, the user heartbeat and new entrances from
// its answers.

#include <memory>

#include "Galvent/Models/GVTsSession.h"
#include "Galvent/Tunnel/Base/GVPacketProxy.h"

class OmbrixPacketProxy : public GVPacketProxy {
 public:
  static constexpr uint16_t kLogPort = 9998;
  // The service code that ends the session.
  static constexpr long long kKickOffCode = 101;

  static std::shared_ptr<OmbrixPacketProxy> initWithSession(GVTsSession session);

  const GVTsSession& session() const { return session_; }

  bool processPacket(std::span<const uint8_t> packet, const brevant::ip_session_info& session,
                     uint64_t flowKeyId) override;
  void finishResolving(const GVResolveResultItem& result, GVFlowGroup& fromFlowGroup) override;
  void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                     GVFlowGroup& fromFlowGroup) override;
  void doHeartBeat() override;
  std::vector<GVRoute> blackRoutes() const override { return blackRoutes_; }

  // Process queue. A non-empty list that differs from the first group's entrances (count, or
  // ip at some position) goes to updateEntrances.
  void updateEntrancesIfNeeded(const std::vector<GVEntrance>& entrances);
  // Every group takes the list and resolves again (on the main queue).
  void updateEntrances(const std::vector<GVEntrance>& entrances);

  explicit OmbrixPacketProxy(GVTsSession session);

 private:
  GVTsSession session_;
  std::vector<GVRoute> blackRoutes_;
};
