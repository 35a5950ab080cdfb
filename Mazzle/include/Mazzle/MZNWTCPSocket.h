#pragma once
// An outgoing TCP socket of the kit, marked by the raw-socket factory so it bypasses the tunnel.

#include <chrono>
#include <cstdint>
#include <string>

class MZNWTCPSocket {
 public:
  MZNWTCPSocket() = default;
  ~MZNWTCPSocket();
  MZNWTCPSocket(const MZNWTCPSocket&) = delete;
  MZNWTCPSocket& operator=(const MZNWTCPSocket&) = delete;

  // host: dotted text or a name (resolved with the system resolver). 0 or -errno.
  int connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);
  int fd() const { return fd_; }
  // Hands the descriptor over; the socket forgets it.
  int release();
  void close();

 private:
  int fd_ = -1;
};
