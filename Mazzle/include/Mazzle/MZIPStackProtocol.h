#pragma once
// A packet stack of the TUN interface: offered every packet read from the system until one
// takes it; writes packets back to the system through the output callback the interface
// installs.

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

class MZIPStackProtocol {
 public:
  // Packet and address family (2 for IPv4).
  using OutputFunc = std::function<void(std::vector<uint8_t> packet, int family)>;

  virtual ~MZIPStackProtocol() = default;

  // True when the stack took the packet; no later stack sees it then.
  virtual bool inputPacket(std::span<const uint8_t> packet, int version) = 0;
  virtual void start() {}
  virtual void stop() {}

  OutputFunc outputFunc() const {
    std::lock_guard lock(outputMutex_);
    return output_;
  }
  void setOutputFunc(OutputFunc output) {
    std::lock_guard lock(outputMutex_);
    output_ = std::move(output);
  }

 protected:
  // Writes through the installed callback; dropped when none is installed.
  void output(std::vector<uint8_t> packet, int family = 2) const {
    auto out = outputFunc();
    if (out) out(std::move(packet), family);
  }

 private:
  mutable std::mutex outputMutex_;
  OutputFunc output_;
};
