#pragma once
// Packet proxy of the game variant: one flow group per traffic group, path reports to the game
// service, its user heartbeat, and per-packet traffic lines to the log upload.

#include <memory>

#include "Galvent/Models/GVQ5Session.h"
#include "Galvent/Tunnel/Base/GVPacketProxy.h"

class PexaraPacketProxy : public GVPacketProxy {
 public:
  static constexpr uint16_t kLogPort = 10001;

  static std::shared_ptr<PexaraPacketProxy> initWithSession(GVQ5Session session);

  const GVQ5Session& session() const { return session_; }

  bool processPacket(std::span<const uint8_t> packet, const brevant::ip_session_info& session,
                     uint64_t flowKeyId) override;
  void finishResolving(const GVResolveResultItem& result, GVFlowGroup& fromFlowGroup) override;
  void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                     GVFlowGroup& fromFlowGroup) override;
  void doHeartBeat() override;
  std::vector<GVRoute> blackRoutes() const override { return blackRoutes_; }

  explicit PexaraPacketProxy(GVQ5Session session);

 private:
  void openLogStreamIfNeeded();

  GVQ5Session session_;
  std::vector<GVRoute> blackRoutes_;
};
