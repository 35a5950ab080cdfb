#pragma once
// Sends UDP straight to its destination: one marked, connected socket per (source port,
// destination, destination port); answers are written back to the system as coming from the
// destination. Sockets idle for 60 s are closed; at most kMaxFlows live at once (the least
// recently used goes first). Datagrams are sent on the caller's thread without waiting: what
// the socket cannot take at once is dropped, so a flood from one program never builds a queue
// in front of everyone else's packets.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <tuple>

#include "Mazzle/MZIPStackProtocol.h"

class MZUDPDirectStack : public MZIPStackProtocol,
                         public std::enable_shared_from_this<MZUDPDirectStack> {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::seconds kIdleTimeout{60};
  static constexpr size_t kMaxFlows = 1024;

  explicit MZUDPDirectStack(Clock clock = {}, size_t maxFlows = kMaxFlows);
  ~MZUDPDirectStack() override;

  bool inputPacket(std::span<const uint8_t> packet, int version) override;
  void stop() override;

  size_t flowCount() const;
  // Datagrams dropped because their socket's buffer was full.
  uint64_t droppedDatagrams() const { return dropped_.load(); }
  // Closes sockets idle past their time; also runs on packets, at most once a second.
  void expire();

 private:
  struct Flow;
  using Key = std::tuple<uint16_t, uint32_t, uint16_t>;
  void receive(std::shared_ptr<Flow> flow);
  // Reads the answers the flow's socket holds, in batches, and writes them back as packets.
  void drain(Flow& flow);
  void close(std::shared_ptr<Flow> flow);

  Clock clock_;
  size_t maxFlows_;
  mutable std::mutex mutex_;
  std::map<Key, std::shared_ptr<Flow>> flows_;
  std::chrono::steady_clock::time_point lastExpire_{};
  std::atomic<uint64_t> dropped_{0};
};
