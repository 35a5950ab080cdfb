#pragma once
// Stand-in of the masked HTTPS proxy: every byte in both directions is XORed with 0x5a. It reads
// a CONNECT request (unmasked: "CONNECT host:port HTTP/1.1"), logs its request line, connects to
// the target and relays. Switches make it refuse or answer garbage.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace standin {

class MaskedConnectProxy {
 public:
  enum class Mode { Normal, Refuse, Garbage };
  static constexpr uint8_t kMask = 0x5a;

  MaskedConnectProxy() = default;
  ~MaskedConnectProxy();

  // Listens on address:port (port 0: any). 0 or -errno.
  int start(const std::string& address = "127.0.0.1", uint16_t port = 0);
  void stop();
  uint16_t port() const { return port_; }
  void setMode(Mode mode) { mode_ = mode; }

  // Request lines received so far, unmasked ("CONNECT proxied.example:8080 HTTP/1.1").
  std::vector<std::string> requests() const;
  // Connects CONNECT requests for `host` to this IPv4 address instead of resolving the name, so
  // tests in a namespace of their own need no resolver.
  void setHostAddress(const std::string& host, const std::string& ipv4);
  // Where request lines are appended as they come (the program's --log); empty: nowhere.
  void setLogFile(std::string path) { logFile_ = std::move(path); }

 private:
  void acceptLoop();
  void serve(int client);
  void record(const std::string& line);
  std::string addressFor(const std::string& host) const;

  int listenFd_ = -1;
  int wakeFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<Mode> mode_{Mode::Normal};
  std::string logFile_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::map<std::string, std::string> hosts_;
  std::vector<std::thread> workers_;
  std::vector<int> open_;
};

}  // namespace standin
