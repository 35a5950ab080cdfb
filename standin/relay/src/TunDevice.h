#pragma once
// The relay's TUN device: IPv4 packets without packet information, addressed and up, so that
// the kernel routes the device's subnet into it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace standin::relay {

struct Subnet {
  uint32_t address = 0;  // host order: the device's own address
  int prefix = 0;
  uint32_t mask() const { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }
  uint32_t network() const { return address & mask(); }
  uint32_t broadcast() const { return network() | ~mask(); }
};

// "192.0.2.1/24": a dotted address and a prefix of 8..30, so the subnet has room for the
// device and at least one more host.
std::optional<Subnet> parseSubnet(const std::string& text);

class TunDevice {
 public:
  // Creates the device (not persistent: it goes with this object), gives it the subnet's
  // address and mask and brings it up. Null with `error` set when any step fails.
  static std::unique_ptr<TunDevice> create(const std::string& name, const Subnet& subnet,
                                           std::string& error);
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

 private:
  TunDevice(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int fd_;
  std::string name_;
};

}  // namespace standin::relay
