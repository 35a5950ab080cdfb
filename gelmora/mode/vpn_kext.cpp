// Acceleration through the traffic filter: the locator's `vpn` entry is TsKextVPNController.
#include "gelmora/Core/AccelerationMode.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsKextVPNController.h"

AccelerationController& BHAppPackage::vpn() const { return TsKextVPNController::sharedInstance(); }

namespace gelmora::entry {

const char* accelerationModeName() { return "kext"; }

// The filter's loader and daemon are found by the start-up checks themselves.
void configureAccelerationMode(const AccelerationModeLaunch&) {}

}  // namespace gelmora::entry
