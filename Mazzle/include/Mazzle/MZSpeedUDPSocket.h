#pragma once
// A UDP socket connected to one entrance server. Made by MZRawSocketFactory (so it carries the
// bypass mark) and read on the packet loop of MZQueueFactory, several datagrams a call; every
// datagram goes to the delegate.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

class MZSpeedUDPSocket;

class MZSpeedUDPSocketDelegate {
 public:
  virtual ~MZSpeedUDPSocketDelegate() = default;
  // One received datagram, on the packet loop. `from` is "ip:port" of the sender.
  virtual void didReceiveData(std::span<const uint8_t> data, const std::string& from,
                              MZSpeedUDPSocket& socket) = 0;
};

class MZSpeedUDPSocket : public std::enable_shared_from_this<MZSpeedUDPSocket> {
 public:
  // A socket connected to host:port that reads until disconnect. Null (logged) when host is not
  // a dotted IPv4 address, port is 0, or the socket cannot be made or connected.
  static std::shared_ptr<MZSpeedUDPSocket> initWithHost(
      const std::string& host, uint16_t port, std::weak_ptr<MZSpeedUDPSocketDelegate> delegate);

  ~MZSpeedUDPSocket();
  MZSpeedUDPSocket(const MZSpeedUDPSocket&) = delete;
  MZSpeedUDPSocket& operator=(const MZSpeedUDPSocket&) = delete;

  // Sends one datagram; false when disconnected or the send failed. Safe from any thread.
  bool writeData(std::span<const uint8_t> data);
  // One datagram of head followed by body, gathered by the kernel without a joined copy. Inside
  // a burst on this thread, the datagram is copied aside and sent with the others at its end;
  // true then means taken.
  bool writeData(std::span<const uint8_t> head, std::span<const uint8_t> body);

  // A burst of packets read at once: frames written on this thread until endBurst leave in one
  // system call per socket (at most kBurstSize frames each); consecutive frames of one size go
  // as one segmented send (UDP GSO: one pass through the stack, the same datagrams on the wire).
  // Bursts do not nest.
  static constexpr size_t kBurstSize = 32;
  static void beginBurst();
  static void endBurst();
  // The entrance's port (the remote port this socket is connected to).
  uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }
  // The local port, for tests that look for this socket in a relay's records.
  uint16_t localPort() const { return localPort_; }

  void setDelegate(std::weak_ptr<MZSpeedUDPSocketDelegate> delegate);
  // Closes the socket; no datagram is delivered once this returns on the packet loop. Idempotent.
  void disconnect();
  bool isConnected() const { return !closed_.load(); }

 private:
  struct Impl;
  MZSpeedUDPSocket(std::string host, uint16_t port);
  void readNext();
  // Sends the frames held back in this thread's burst.
  void flushBurst();
  // Reads what the socket holds, in batches, and hands it to the delegate.
  void drain();

  std::string host_;
  uint16_t port_ = 0;
  uint16_t localPort_ = 0;
  std::string peerText_;
  std::atomic<bool> closed_{false};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<MZSpeedUDPSocketDelegate> delegate_;
  std::unique_ptr<Impl> impl_;
};
