#pragma once
// Flow groups of the line variant: one for DNS traffic and one per traffic rule.

#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"
#include "JolvexAPI/JolvexSchemaModels.h"

class OmbrixFlowGroupManager : public GVFlowGroupManager {
 public:
  // Writes group keys into the traffic ids of the DNS rules and traffic rules.
  explicit OmbrixFlowGroupManager(JVX_SPEED_START_INFO& info);
  void extractFlowGroupWithSpeedInfo(JVX_SPEED_START_INFO& info);

  uint16_t rx() const { return rx_; }
  uint16_t tx() const { return tx_; }
  // The DNS group, or null when the start information gave it no exits.
  std::shared_ptr<GVFlowGroup> dnsFlowGroup() const { return dnsGroup_; }

 private:
  uint16_t rx_ = 0;
  uint16_t tx_ = 0;
  std::shared_ptr<GVFlowGroup> dnsGroup_;
};
