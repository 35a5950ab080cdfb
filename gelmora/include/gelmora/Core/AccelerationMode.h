#pragma once
// The acceleration mode a program is linked with: the traffic filter (gelmora_vpn_kext) or the
// tunnel engine (gelmora_vpn_tunnel). Each one-file library defines the locator's `vpn` entry and
// the two functions below; a program links exactly one of them.
#include <string>

#include "platform/auth/Authorization.h"

namespace gelmora::entry {

// What the start-up knows of the installation that a mode may need.
struct AccelerationModeLaunch {
  std::string tunnelProgram;  // libexec/gelmora/galvent-tunnel
  std::string resources;      // the folder of the area/ISP file
  platform::auth::Options auth;
};

// "kext" or "tunnel".
const char* accelerationModeName();

// Hands the installation's paths to the mode's controller; run once by the start-up.
void configureAccelerationMode(const AccelerationModeLaunch& launch);

}  // namespace gelmora::entry
