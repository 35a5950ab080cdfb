#include "TunDevice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Mazzle/MZHelper.h"

namespace standin::relay {

std::optional<Subnet> parseSubnet(const std::string& text) {
  auto slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  auto address = MZHelper::ipv4AddrFromLiteral(std::string_view(text).substr(0, slash));
  std::string bits = text.substr(slash + 1);
  if (!address || bits.empty() || bits.size() > 2 ||
      bits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  int prefix = std::stoi(bits);
  if (prefix < 8 || prefix > 30) return std::nullopt;
  Subnet s{*address, prefix};
  if (s.address == s.network() || s.address == s.broadcast()) return std::nullopt;
  return s;
}

namespace {
sockaddr inetAddress(uint32_t hostOrder) {
  sockaddr out{};
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(hostOrder);
  std::memcpy(&out, &in, sizeof(in));
  return out;
}
}  // namespace

std::unique_ptr<TunDevice> TunDevice::create(const std::string& name, const Subnet& subnet,
                                             std::string& error) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    error = "bad device name \"" + name + "\"";
    return nullptr;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::string("open /dev/net/tun: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<TunDevice> dev(new TunDevice(fd, name));
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    error = std::string("TUNSETIFF ") + name + ": " + std::strerror(errno);
    return nullptr;
  }
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  auto step = [&](unsigned long request, const char* what) {
    if (::ioctl(sock, request, &ifr) == 0) return true;
    error = std::string(what) + " " + name + ": " + std::strerror(errno);
    return false;
  };
  // The mask after the address: setting the address alone gives a /32 on a point-to-point
  // device, and the mask is what makes the kernel route the whole subnet into the device.
  ifr.ifr_addr = inetAddress(subnet.address);
  bool ok = step(SIOCSIFADDR, "SIOCSIFADDR");
  if (ok) {
    ifr.ifr_netmask = inetAddress(subnet.mask());
    ok = step(SIOCSIFNETMASK, "SIOCSIFNETMASK");
  }
  if (ok) ok = step(SIOCGIFFLAGS, "SIOCGIFFLAGS");
  if (ok) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = step(SIOCSIFFLAGS, "SIOCSIFFLAGS");
  }
  ::close(sock);
  if (!ok) return nullptr;
  return dev;
}

TunDevice::~TunDevice() { ::close(fd_); }

}  // namespace standin::relay
