#pragma once
// Acceleration through the tunnel engine: the engine's line-service controller installs the
// tunnel configuration, asks for the rule list and starts the tunnel daemon. The same operations
// and status numbers as the filter-mode controller, so either can stand behind `app().vpn()`.
#include <functional>
#include <memory>
#include <string>

#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/VPN/GVTsVPNController.h"
#include "gelmora/Core/AccelerationController.h"
#include "platform/notifications/NotificationCenter.h"

class TsUserController;

class TsVPNController : public AccelerationController {
 public:
  static constexpr const char* kProviderIdentifier = "com.pelmoor.tessaryn.mac.tunnel";
  static constexpr const char* kServerAddress = "127.0.0.1";
  static constexpr const char* kServerDescription = "OxlaVPN Server";
  static constexpr const char* kIpDataFile = "q5_area_isp.data";

  // Public resolvers handed to the tunnel: one inside mainland China, one outside.
  struct Resolvers {
    std::string china;
    std::string other;
  };
  // The brand's settings "TunnelDnsServerChina" / "TunnelDnsServer" when the installed
  // environment names them, else built-in public resolvers.
  static Resolvers defaultResolvers();

  static TsVPNController& sharedInstance();
  // `vpn` empty: a new engine controller with the fixed identifiers above.
  TsVPNController(TsUserController& user, std::shared_ptr<GVTsVPNController> vpn = {},
                  Resolvers resolvers = defaultResolvers());
  ~TsVPNController() override;
  TsVPNController(const TsVPNController&) = delete;
  TsVPNController& operator=(const TsVPNController&) = delete;

  const std::shared_ptr<GVTsVPNController>& vpn() const { return vpn_; }
  void loadVPNManagerPreferences();

  // The tunnel options of a start for the user's current session.
  GVTunnelOptions tunnelOptions() const;

  platform::reactive::Signal<bool> start() override;
  void stop() override;
  void sendStopCMD(std::function<void()> done) override;
  long long status() const override;
  void prepare() override { loadVPNManagerPreferences(); }

 private:
  std::shared_ptr<GVTsSession> userSession() const;

  TsUserController& user_;
  std::shared_ptr<GVTsVPNController> vpn_;
  Resolvers resolvers_;
  platform::notifications::Observation resign_;
};
