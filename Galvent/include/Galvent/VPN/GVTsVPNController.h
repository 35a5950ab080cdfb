#pragma once
// Tunnel controller of the line service: the rule list opens the acceleration, the speed-end
// report closes it.

#include "Galvent/Models/GVTsSession.h"
#include "Galvent/VPN/GVVPNController.h"

class GVTsVPNController : public GVVPNController<GVTsSession> {
 public:
  using GVVPNController<GVTsSession>::GVVPNController;

  // JVX_API_RULE_LIST; its answer becomes the session's speedInfo, the value launch options
  // carrying the session.
  Signal<GVLaunchOptions> speedStart(SessionPtr session) override;
  // JVX_API_SPEED_END (silence) with the run's flow id.
  Signal<nlohmann::json> speedStop(SessionPtr session) override;
};
