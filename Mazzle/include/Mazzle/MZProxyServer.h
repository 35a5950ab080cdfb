#pragma once
// The local server that takes the TCP stack's connections: it finds the original destination
// of each accepted peer in the stack's table, asks the current rule manager for an adapter
// factory and relays the bytes both ways through the adapter.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "Mazzle/MZTCPStack.h"

class MZProxyServer : public std::enable_shared_from_this<MZProxyServer> {
 public:
  explicit MZProxyServer(std::weak_ptr<MZTCPStack> stack = {});
  ~MZProxyServer();

  static constexpr const char* kTunnelAddress = "192.0.2.1";
  // Relays at once; connections past it are refused.
  static constexpr size_t kMaxRelays = 1024;

  // Listens on an ephemeral port of the tunnel's own address (bound before the address is on
  // the device), so nothing outside this host reaches it. Peers that are not a flow of the
  // stack's table are closed before any thread starts. 0 or -errno.
  int start(const char* address = kTunnelAddress);
  void stop();
  uint16_t port() const { return port_.load(); }
  void setStack(std::weak_ptr<MZTCPStack> stack);
  size_t activeConnections() const;

 private:
  void acceptLoop();
  void serve(int client, MZTCPStack::Flow flow, std::shared_ptr<MZTCPStack> stack);
  void refuse(int client, bool& logged, const char* why);

  std::weak_ptr<MZTCPStack> stack_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<uint16_t> port_{0};
  std::atomic<bool> running_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::set<int> clients_;
  std::atomic<size_t> serving_{0};
};
