// Acceleration through the tunnel engine: the locator's `vpn` entry is TsVPNController.
#include "gelmora/Core/AccelerationMode.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsVPNController.h"
#include "platform/netext/TunnelConnection.h"

AccelerationController& BHAppPackage::vpn() const { return TsVPNController::sharedInstance(); }

namespace gelmora::entry {

const char* accelerationModeName() { return "tunnel"; }

// The daemon installed beside the app, started through the same runner as every privileged task.
void configureAccelerationMode(const AccelerationModeLaunch& launch) {
  platform::netext::TunnelLaunchSettings tunnel;
  tunnel.program = launch.tunnelProgram;
  tunnel.resources = launch.resources;
  tunnel.launcher = platform::netext::authorizedTunnelLauncher(launch.auth);
  TsVPNController::sharedInstance().vpn()->setLaunchSettings(std::move(tunnel));
}

}  // namespace gelmora::entry
