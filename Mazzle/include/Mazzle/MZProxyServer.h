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

class MZTCPStack;

class MZProxyServer : public std::enable_shared_from_this<MZProxyServer> {
 public:
  explicit MZProxyServer(std::weak_ptr<MZTCPStack> stack = {});
  ~MZProxyServer();

  // Listens on an ephemeral port of every local address (peers without a table entry are
  // closed at once). 0 or -errno.
  int start();
  void stop();
  uint16_t port() const { return port_.load(); }
  void setStack(std::weak_ptr<MZTCPStack> stack);
  size_t activeConnections() const;

 private:
  void acceptLoop();
  void serve(int client);

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
