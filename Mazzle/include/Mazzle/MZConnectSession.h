#pragma once
// One TCP connection taken from the tunnel: where the system meant it to go.

#include <cstdint>
#include <string>

struct MZConnectSession {
  uint32_t sourceIP = 0;  // host order
  uint16_t sourcePort = 0;
  uint32_t destinationIP = 0;
  uint16_t destinationPort = 0;
  // Name of the destination as the domain recorder gives it (its dotted text when unknown).
  std::string domainHost;
};
