#pragma once
// Shared pieces of the flow-group and packet-proxy tests: a recording delegate, a UDP echo, the
// stand-in relay on two loopback addresses and helpers that drive the queues in virtual time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Galvent/Tunnel/Base/Flow/GVFlowGroup.h"
#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "Mazzle/MZQueueFactory.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/relay/Relay.h"

namespace flowtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct RecordingFlowDelegate : GVFlowGroupDelegate {
  std::mutex mutex;
  std::vector<Bytes> packets;
  std::vector<GVResolveResultItem> best;
  int failed = 0;
  std::vector<std::vector<GVResolveResultItem>> all;

  void flowPacket(std::vector<uint8_t> packet, GVFlowGroup&) override {
    std::lock_guard lock(mutex);
    packets.push_back(std::move(packet));
  }
  void finishResolving(const GVResolveResultItem& result, GVFlowGroup&) override {
    std::lock_guard lock(mutex);
    best.push_back(result);
  }
  void flowGroupFaildResolving(GVFlowGroup&) override {
    std::lock_guard lock(mutex);
    ++failed;
  }
  void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                     GVFlowGroup&) override {
    std::lock_guard lock(mutex);
    all.push_back(results);
  }
  size_t packetCount() {
    std::lock_guard lock(mutex);
    return packets.size();
  }
};

// Echoes every UDP datagram back to its sender; stands in for a game server.
class UdpEcho {
 public:
  explicit UdpEcho(const std::string& ip = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~UdpEcho() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  int count() const { return count_.load(); }

 private:
  void run() {
    Bytes buf(65536);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n =
          ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      ++count_;
      ::sendto(fd_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
};

// The relay on 127.0.0.2 and 127.0.0.3, two ports each.
struct RelayRig {
  standin::relay::Relay relay;
  GVEntrance a, b;
  RelayRig() {
    a.ip = "127.0.0.2";
    b.ip = "127.0.0.3";
    for (int i = 0; i < 2; ++i) {
      a.ports.push_back(relay.addEndpoint(a.ip));
      b.ports.push_back(relay.addEndpoint(b.ip));
    }
  }
  void silence(bool on) {
    standin::relay::Switches s;
    s.silent = on;
    for (auto* e : {&a, &b})
      for (uint16_t p : e->ports) relay.setSwitches(e->ip, p, s);
  }
  void silentHeartbeat(bool on) {
    standin::relay::Switches s;
    s.silentHeartbeat = on;
    for (auto* e : {&a, &b})
      for (uint16_t p : e->ports) relay.setSwitches(e->ip, p, s);
  }
  // Frames of one type the relay received, in arrival order.
  std::vector<standin::relay::Record> received(uint32_t type) const {
    std::vector<standin::relay::Record> out;
    for (auto& r : relay.records())
      if (r.incoming && r.type == type) out.push_back(r);
    return out;
  }
  bool waitReceived(uint32_t type, size_t count) const {
    return relay.waitFor(
        [&](const std::vector<standin::relay::Record>& records) {
          size_t n = 0;
          for (auto& r : records) n += r.incoming && r.type == type;
          return n >= count;
        },
        5s);
  }
};

inline std::vector<GVExit> threeExits() {
  return {GVExit{"1-1", "10.9.0.1"}, GVExit{"1-2", "10.9.0.2"}, GVExit{"2-1", "10.9.0.3"}};
}

inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A datagram as the relay would send it.
inline Bytes frame(uint32_t type, const std::string& body) {
  return Q5Protocol::wrapWithType(
      type, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// Runs what the process queue, the packet loop and the main queue have, until all are idle.
inline void settle(platform::dispatch::PumpedQueue& main) {
  for (int i = 0; i < 4; ++i) {
    MZQueueFactory::sync([] {});
    GVQueueFactory::getQueue()->sync([] {});
    main.pump();
  }
}

// Moves virtual time forward and runs what became due.
inline void advance(platform::dispatch::VirtualClock& clock, platform::dispatch::PumpedQueue& main,
                    std::chrono::nanoseconds d) {
  settle(main);
  clock.advance(d);
  settle(main);
}

}  // namespace flowtest
