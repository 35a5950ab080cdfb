#pragma once
// What the kernel says about one packet of a TUN device opened with offloads (the virtio-net
// header in front of every packet): a TCP packet larger than the device's MTU, to be cut into
// segments of gsoSize payload bytes, and a transport checksum the kernel left for whoever
// handles the packet to finish (checksumStart/checksumOffset; the field holds the folded
// pseudo-header sum until then). The same description written back with a packet lets the
// kernel finish and cut it.

#include <cstdint>
#include <functional>
#include <span>

namespace platform::netext {

struct Offload {
  static constexpr uint8_t kNeedsChecksum = 1;
  static constexpr uint8_t kGsoNone = 0, kGsoTCPv4 = 1, kGsoEcn = 0x80;

  uint8_t flags = 0;
  uint8_t gsoType = kGsoNone;
  uint16_t headerLength = 0, gsoSize = 0, checksumStart = 0, checksumOffset = 0;

  bool needsChecksum() const { return (flags & kNeedsChecksum) != 0; }
  // More than one packet's worth, to be cut before it leaves the machine.
  bool segmented() const { return gsoType != kGsoNone; }
  // A plain whole packet: nothing left to do.
  bool plain() const { return !needsChecksum() && !segmented(); }
};

// Turns what the kernel handed over into plain packets, each with complete checksums, for `each`:
// the packet itself with its checksum finished in place, or the segments of a TCP/IPv4 packet
// larger than the MTU (each with its own IP identification, sequence number, lengths and
// checksums, FIN and PSH on the last only, CWR on the first only). False, and nothing handed
// over, when the description does not fit the packet.
bool finishOffloaded(std::span<uint8_t> packet, const Offload& offload,
                     const std::function<void(std::span<const uint8_t>)>& each);

// The one's-complement checksum of the transport part of an IPv4 TCP or UDP packet, written in
// place (used when cutting; exposed for tests).
bool fillTransportChecksum(std::span<uint8_t> packet);

}  // namespace platform::netext
