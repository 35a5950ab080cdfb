#pragma once
// The IP packet stack's side of the packet proxy.

#include <cstdint>
#include <vector>

class GVPacketProxy;

class GVPacketProxyDelegate {
 public:
  virtual ~GVPacketProxyDelegate() = default;
  // One whole incoming IPv4 packet with valid checksums, for the system; on the packet loop.
  virtual void incomingIPPacket(std::vector<uint8_t> packet, GVPacketProxy& fromProxy) = 0;
};
