#pragma once
// The TUN interface: reads packets from the provider's packet flow and offers each one to the
// registered stacks in registration order until one takes it; untaken packets are dropped. On a
// device with offloads, a TCP packet larger than the MTU goes whole to the stack that takes it
// whole (the address translation of passed-down TCP); anywhere else it goes as plain segments.

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "Mazzle/MZIPStackProtocol.h"
#include "platform/netext/PacketFlow.h"

class MZTUNInterface {
 public:
  explicit MZTUNInterface(std::shared_ptr<platform::netext::PacketFlow> packetFlow);
  ~MZTUNInterface();

  // Appends the stack and installs the interface's output callback into it.
  void registerStack(std::shared_ptr<MZIPStackProtocol> stack);

  // Starts the stacks, then the reading of packets.
  void start();
  // Stops reading, then the stacks.
  void stop();
  // Final shutdown: stop, forget the stacks and close the packet flow.
  void terminal();

  // One packet from the system, as the read loop hands it over. True when a stack took it.
  bool offer(std::span<const uint8_t> packet);
  // One packet as the device gave it, with what is left to do (see Offload).
  bool offer(std::span<uint8_t> packet, const platform::netext::Offload& offload);
  // Writes one packet to the system.
  void writePacket(std::vector<uint8_t> packet, int family);

  uint64_t droppedPackets() const { return dropped_.load(); }
  bool running() const { return running_.load(); }

 private:
  using Stacks = std::vector<std::shared_ptr<MZIPStackProtocol>>;
  std::shared_ptr<platform::netext::PacketFlow> flow_;
  mutable std::mutex mutex_;
  Stacks stacks_;
  // What offer walks: a copy made at registration, so a packet costs no copy of the list.
  std::shared_ptr<const Stacks> snapshot_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> dropped_{0};
};
