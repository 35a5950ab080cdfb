// The locator's `vpn` entry: the acceleration mode chosen at build time (GELMORA_VPN_CONTROLLER).
#include "gelmora/Core/AccelerationController.h"

#include "gelmora/Core/BHAppPackage.h"
#if GELMORA_VPN_TUNNEL
#include "gelmora/Core/TsVPNController.h"
#else
#include "gelmora/Core/TsKextVPNController.h"
#endif

AccelerationController& BHAppPackage::vpn() const {
#if GELMORA_VPN_TUNNEL
  return TsVPNController::sharedInstance();
#else
  return TsKextVPNController::sharedInstance();
#endif
}
