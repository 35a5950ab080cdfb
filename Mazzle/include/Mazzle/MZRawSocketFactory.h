#pragma once
// Makes every socket of the tunnel engine. With a mark configured each socket carries SO_MARK, so
// that policy routing sends the engine's own traffic around the tunnel instead of into it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class MZRawSocketFactory {
 public:
  static MZRawSocketFactory& sharedInstance();

  // The provider whose tunnel the sockets must bypass; set before any socket is made. Kept alive
  // for as long as the factory refers to it.
  void setTunnelProvider(std::shared_ptr<const void> provider);
  std::shared_ptr<const void> tunnelProvider() const;

  // Firewall mark of every new socket; nullopt makes unmarked sockets.
  void setMark(std::optional<uint32_t> mark);
  std::optional<uint32_t> mark() const;

  // Called once before the proxy server starts.
  void setUp();
  bool isSetUp() const;

  // A close-on-exec socket, marked when a mark is configured; -errno on failure. A socket that
  // cannot take its mark is closed rather than handed out unmarked (it would loop into the tunnel).
  int makeSocket(int family, int type, int protocol = 0) const;
  int makeUDPSocket(int family) const;
  int makeTCPSocket(int family) const;

  // Back to the state at creation; for tests.
  void reset();

 private:
  MZRawSocketFactory() = default;
  mutable std::mutex mutex_;
  std::shared_ptr<const void> provider_;
  std::optional<uint32_t> mark_;
  bool setUp_ = false;
};
