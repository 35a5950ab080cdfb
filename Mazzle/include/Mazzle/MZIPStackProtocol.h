#pragma once
// A packet stack of the TUN interface: offered every packet read from the system until one
// takes it; writes packets back to the system through the output callback the interface
// installs.

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "platform/netext/Offload.h"

class MZIPStackProtocol {
 public:
  // Packet and address family (2 for IPv4).
  using OutputFunc = std::function<void(std::vector<uint8_t> packet, int family)>;
  // A packet with what the kernel is to finish (segmentation, checksum).
  using WholeOutputFunc =
      std::function<void(std::span<const uint8_t> packet, const platform::netext::Offload&)>;
  // The answer to a TCP packet the system handed over larger than the MTU or with its checksum
  // left to finish: taken whole (and written back whole through outputWhole), not this stack's
  // at all, or possibly this stack's, once cut into plain packets (the interface then offers
  // every segment to every stack as usual).
  enum class WholeOffer { kNotMine, kTaken, kSegments };

  virtual ~MZIPStackProtocol() = default;

  // True when the stack took the packet; no later stack sees it then.
  virtual bool inputPacket(std::span<const uint8_t> packet, int version) = 0;
  // See WholeOffer; a stack that knows nothing better asks for segments.
  virtual WholeOffer offerWhole(std::span<uint8_t> /*packet*/,
                                const platform::netext::Offload& /*offload*/) {
    return WholeOffer::kSegments;
  }
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
  void setWholeOutputFunc(WholeOutputFunc output) {
    std::lock_guard lock(outputMutex_);
    wholeOutput_ = std::move(output);
  }

 protected:
  // Writes through the installed callback; dropped when none is installed.
  void output(std::vector<uint8_t> packet, int family = 2) const {
    auto out = outputFunc();
    if (out) out(std::move(packet), family);
  }
  bool hasWholeOutput() const {
    std::lock_guard lock(outputMutex_);
    return static_cast<bool>(wholeOutput_);
  }
  // Writes a packet the kernel is to finish; false when no whole output is installed.
  bool outputWhole(std::span<const uint8_t> packet, const platform::netext::Offload& o) const {
    WholeOutputFunc out;
    {
      std::lock_guard lock(outputMutex_);
      out = wholeOutput_;
    }
    if (!out) return false;
    out(packet, o);
    return true;
  }

 private:
  mutable std::mutex outputMutex_;
  OutputFunc output_;
  WholeOutputFunc wholeOutput_;
};
