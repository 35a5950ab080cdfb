#pragma once
// TCP of the tunnel by address translation to a local listener (the proxy server), no user-space
// TCP: a connection S:sp -> D:dp read from the system gets a fake source F from 198.19.0.0/16
// and is written back as F:sp -> S:L, where L is the listener's port; the listener's answers
// S:L -> F:sp go back out as D:dp -> S:sp. F is unique per live connection, so two connections
// from one source port to different destinations never meet.
//
// A flow lives as long as the proxy server's relay holds its accepted socket, however long it is
// idle (an SSH session, IMAP IDLE); the relay says when it ends. Only flows whose SYN the listener
// never accepted expire when idle. A full table makes room by dropping the least recently used.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "Mazzle/MZIPStackProtocol.h"

class MZProxyServer;

class MZTCPStack : public MZIPStackProtocol {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr uint32_t kFakeNetwork = 0xC6130000;  // 198.19.0.0/16
  static constexpr size_t kDefaultMaxFlows = 4096;
  static constexpr std::chrono::seconds kIdleTimeout{600};
  static constexpr std::chrono::seconds kClosingTimeout{10};

  struct Flow {
    uint32_t sourceIP, destinationIP, fakeIP;
    uint16_t sourcePort, destinationPort;
    std::chrono::steady_clock::time_point lastSeen;
    bool finFromClient = false, finFromServer = false;
    bool accepted = false;    // the proxy server's relay holds it
    bool relayEnded = false;  // the relay is gone; late segments of the close still pass a while
  };

  // The shared stack of the process.
  static std::shared_ptr<MZTCPStack> stack();

  explicit MZTCPStack(Clock clock = {}, size_t maxFlows = kDefaultMaxFlows);

  void setProxyServer(std::shared_ptr<MZProxyServer> server);
  std::shared_ptr<MZProxyServer> proxyServer() const;
  // Port of the listener the connections are turned to; tests set it without a server.
  void setListenPort(uint16_t port);

  bool inputPacket(std::span<const uint8_t> packet, int version) override;
  // A segment of a passed-down flow goes back translated as it came, the kernel left to finish
  // its checksum and cut it: a 64 KiB write in place of forty-odd.
  WholeOffer offerWhole(std::span<uint8_t> packet,
                        const platform::netext::Offload& offload) override;
  void stop() override;

  // The flow a fake source stands for (the proxy server's view of an accepted peer).
  std::optional<Flow> flowForFake(uint32_t fakeIP, uint16_t sourcePort) const;
  // The proxy server took the flow's connection: it no longer expires while idle. Nothing when
  // the fake source is not in the table.
  std::optional<Flow> acceptFlow(uint32_t fakeIP, uint16_t sourcePort);
  // The relay of an accepted flow ended: it goes after the closing time.
  void relayEnded(const Flow& flow);
  // Idle limit of flows never accepted (the daemon's tests shorten it).
  void setIdleTimeout(std::chrono::seconds limit);
  size_t flowCount() const;
  // Drops flows idle past their time; also runs on packets, at most once a second.
  void expire();

  // Translates one packet in place; true when it was ours and is to be written back. The
  // checksums are updated for the rewritten fields only, so a segment that arrived damaged stays
  // damaged. Exposed for the fuzz target.
  bool translate(std::vector<uint8_t>& packet);
  // The same on bytes in place; `partialChecksum`: the TCP checksum field holds the pseudo-header
  // sum the kernel left to finish. `length` is the packet's length as translated.
  bool translate(std::span<uint8_t> packet, bool partialChecksum, size_t& length);

 private:
  using ForwardKey = std::tuple<uint32_t, uint16_t, uint32_t, uint16_t>;  // S, sp, D, dp
  using FakeKey = std::pair<uint32_t, uint16_t>;                          // F, sp
  std::optional<uint32_t> allocateFake(uint16_t sourcePort);
  void remove(std::map<ForwardKey, Flow>::iterator it);
  void expireIfDue();

  Clock clock_;
  size_t maxFlows_;
  mutable std::mutex mutex_;
  std::map<ForwardKey, Flow> flows_;
  std::map<FakeKey, ForwardKey> byFake_;
  uint32_t nextFake_ = 1;
  uint16_t listenPort_ = 0;
  std::chrono::steady_clock::time_point lastExpire_{};
  std::chrono::seconds idleTimeout_ = kIdleTimeout;
  std::shared_ptr<MZProxyServer> server_;
};
