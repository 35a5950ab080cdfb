// The locator's `vpn` entry: the acceleration mode chosen at build time.
#include "gelmora/Core/AccelerationController.h"

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsKextVPNController.h"

AccelerationController& BHAppPackage::vpn() const { return TsKextVPNController::sharedInstance(); }
