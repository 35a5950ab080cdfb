#pragma once
// The provider's packet flow: IPv4 packets read from and written to a TUN device. The device is
// made with IFF_TUN|IFF_NO_PI (no packet-information header) and is not persistent, so it goes
// away with the process. Opened with offloads, it also carries a virtio-net header with every
// packet (IFF_VNET_HDR) and the kernel may hand over TCP packets of up to 64 KiB and transport
// checksums left to finish (see Offload.h), which saves a read and a write per segment.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/netext/Offload.h"

namespace platform::netext {

class PacketFlow {
 public:
  // The bytes are valid during the call only.
  using PacketHandler = std::function<void(std::span<const uint8_t> packet, int family)>;
  // A packet as the device gave it, with what is left to do; the bytes may be changed in place.
  using OffloadHandler = std::function<void(std::span<uint8_t> packet, const Offload& offload)>;

  PacketFlow() = default;
  ~PacketFlow();
  PacketFlow(const PacketFlow&) = delete;
  PacketFlow& operator=(const PacketFlow&) = delete;

  // Opens /dev/net/tun with a name pattern such as "gvtun%d". 0 or -errno. With `offloads`, the
  // device takes TCP/IPv4 segmentation and checksums (falls back to none where refused).
  int open(const std::string& namePattern = "gvtun%d", bool offloads = false);
  // Takes an already open descriptor (a socketpair end in tests); the flow owns it.
  void adopt(int fd, std::string name);
  const std::string& name() const { return name_; }
  int ifindex() const;
  bool isOpen() const { return fd_ >= 0; }
  // Packets carry a virtio-net header on the device (opened with offloads).
  bool offloads() const { return vnet_; }

  // Starts the packet loop: every packet read goes to handler on the loop thread. The loop reads
  // until the device is empty before it waits again, so a burst costs one wait; burstEnd, when
  // given, runs after each burst (at most kBurst packets; the first packet after a wait is a
  // burst of its own) and before the loop ends, so that the handler may hold back what it sends
  // until then.
  static constexpr int kBurst = 32;
  // On a device with offloads, `handler` sees plain packets only (finished or cut here).
  void readPackets(PacketHandler handler, std::function<void()> burstEnd = {});
  // The same loop, handing over each packet as the device gave it.
  void readOffloadedPackets(OffloadHandler handler, std::function<void()> burstEnd = {});
  // Stops the loop (waits for it unless called from the loop itself).
  void stopReading();

  // Writes one packet; false when the device refused it. Safe from any thread.
  bool writePacket(std::span<const uint8_t> packet, int family = 2);
  // Writes one packet with what the kernel is to finish (a device with offloads only).
  bool writeOffloaded(std::span<const uint8_t> packet, const Offload& offload);

  // Stops reading and closes the device.
  void close();

  uint64_t packetsRead() const { return read_.load(); }
  uint64_t packetsWritten() const { return written_.load(); }

 private:
  void loop();

  bool write(std::span<const uint8_t> packet, const Offload* offload);

  int fd_ = -1;
  bool vnet_ = false;
  int wake_ = -1;  // eventfd that ends the loop
  std::string name_;
  OffloadHandler handler_;
  std::function<void()> burstEnd_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> read_{0}, written_{0};
  std::mutex writeMutex_;
};

}  // namespace platform::netext
