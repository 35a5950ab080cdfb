#include "Mazzle/MZTUNInterface.h"

#include "Mazzle/MZSpeedUDPSocket.h"

MZTUNInterface::MZTUNInterface(std::shared_ptr<platform::netext::PacketFlow> packetFlow)
    : flow_(std::move(packetFlow)) {}

MZTUNInterface::~MZTUNInterface() { terminal(); }

void MZTUNInterface::registerStack(std::shared_ptr<MZIPStackProtocol> stack) {
  if (!stack) return;
  // The stack must not keep the interface alive; the flow outlives neither.
  std::weak_ptr<platform::netext::PacketFlow> flow = flow_;
  stack->setOutputFunc([flow](std::vector<uint8_t> packet, int family) {
    if (auto f = flow.lock()) f->writePacket(packet, family);
  });
  stack->setWholeOutputFunc(
      [flow](std::span<const uint8_t> packet, const platform::netext::Offload& offload) {
        if (auto f = flow.lock()) f->writeOffloaded(packet, offload);
      });
  std::lock_guard lock(mutex_);
  stacks_.push_back(std::move(stack));
  snapshot_ = std::make_shared<const Stacks>(stacks_);
}

bool MZTUNInterface::offer(std::span<const uint8_t> packet) {
  if (packet.empty()) {
    ++dropped_;
    return false;
  }
  const int version = packet[0] >> 4;
  std::shared_ptr<const Stacks> stacks;
  {
    std::lock_guard lock(mutex_);
    stacks = snapshot_;
  }
  if (!stacks) {
    ++dropped_;
    return false;
  }
  for (const auto& stack : *stacks) {
    if (stack->inputPacket(packet, version)) return true;
  }
  ++dropped_;
  return false;
}

bool MZTUNInterface::offer(std::span<uint8_t> packet, const platform::netext::Offload& offload) {
  if (offload.plain() || packet.empty()) return offer(std::span<const uint8_t>(packet));
  // A TCP packet may go whole; anything else, or a TCP packet some stack wants in plain
  // segments, is finished here first.
  if (packet.size() >= 20 && packet[0] >> 4 == 4 && packet[9] == 6) {
    std::shared_ptr<const Stacks> stacks;
    {
      std::lock_guard lock(mutex_);
      stacks = snapshot_;
    }
    bool cut = false;
    if (stacks) {
      for (const auto& stack : *stacks) {
        auto answer = stack->offerWhole(packet, offload);
        if (answer == MZIPStackProtocol::WholeOffer::kTaken) return true;
        if (answer == MZIPStackProtocol::WholeOffer::kSegments) {
          cut = true;
          break;
        }
      }
    }
    if (!cut) {
      ++dropped_;
      return false;
    }
  }
  bool taken = false;
  if (!platform::netext::finishOffloaded(packet, offload, [&](std::span<const uint8_t> plain) {
        taken = offer(plain) || taken;
      })) {
    ++dropped_;
    return false;
  }
  return taken;
}

void MZTUNInterface::writePacket(std::vector<uint8_t> packet, int family) {
  if (flow_) flow_->writePacket(packet, family);
}

void MZTUNInterface::start() {
  if (running_.exchange(true)) return;
  std::vector<std::shared_ptr<MZIPStackProtocol>> stacks;
  {
    std::lock_guard lock(mutex_);
    stacks = stacks_;
  }
  for (const auto& stack : stacks) stack->start();
  if (flow_) {
    // Frames to the relay leave once per burst of packets read, not once per packet.
    flow_->readOffloadedPackets(
        [this](std::span<uint8_t> packet, const platform::netext::Offload& offload) {
          MZSpeedUDPSocket::beginBurst();
          offer(packet, offload);
        },
        [] { MZSpeedUDPSocket::endBurst(); });
  }
}

void MZTUNInterface::stop() {
  if (!running_.exchange(false)) return;
  if (flow_) flow_->stopReading();
  std::vector<std::shared_ptr<MZIPStackProtocol>> stacks;
  {
    std::lock_guard lock(mutex_);
    stacks = stacks_;
  }
  for (const auto& stack : stacks) stack->stop();
}

void MZTUNInterface::terminal() {
  stop();
  {
    std::lock_guard lock(mutex_);
    for (const auto& stack : stacks_) stack->setOutputFunc({});
    stacks_.clear();
    snapshot_.reset();
  }
  if (flow_) flow_->close();
}
