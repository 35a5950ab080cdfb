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
    flow_->readPackets(
        [this](std::span<const uint8_t> packet, int) {
          MZSpeedUDPSocket::beginBurst();
          offer(packet);
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
