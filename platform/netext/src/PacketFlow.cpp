#include "platform/netext/PacketFlow.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

namespace platform::netext {

namespace {

// The virtio-net header of the device: little-endian fields (the legacy order on the machines
// this runs on; set explicitly where the kernel allows).
constexpr size_t kVnetHeader = 10;

Offload parseHeader(const uint8_t* h) {
  auto le16 = [](const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); };
  Offload o;
  o.flags = h[0];
  o.gsoType = h[1];
  o.headerLength = le16(h + 2);
  o.gsoSize = le16(h + 4);
  o.checksumStart = le16(h + 6);
  o.checksumOffset = le16(h + 8);
  return o;
}

void formatHeader(const Offload& o, uint8_t* h) {
  auto le16 = [](uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  };
  h[0] = o.flags;
  h[1] = o.gsoType;
  le16(h + 2, o.headerLength);
  le16(h + 4, o.gsoSize);
  le16(h + 6, o.checksumStart);
  le16(h + 8, o.checksumOffset);
}

}  // namespace

PacketFlow::~PacketFlow() { close(); }

int PacketFlow::open(const std::string& namePattern, bool offloads) {
  close();
  if (namePattern.size() >= IFNAMSIZ) return -ENAMETOOLONG;
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI | (offloads ? IFF_VNET_HDR : 0);
  std::memcpy(ifr.ifr_name, namePattern.data(), namePattern.size());
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  if (offloads) {
    int size = kVnetHeader;
    int little = 1;
    (void)::ioctl(fd, TUNSETVNETLE, &little);
    // Without the header size or the offloads the packets still carry a header, left empty.
    if (::ioctl(fd, TUNSETVNETHDRSZ, &size) == 0)
      (void)::ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4);
  }
  adopt(fd, std::string(ifr.ifr_name, ::strnlen(ifr.ifr_name, IFNAMSIZ)));
  vnet_ = offloads;
  return 0;
}

void PacketFlow::adopt(int fd, std::string name) {
  close();
  fd_ = fd;
  vnet_ = false;
  name_ = std::move(name);
}

int PacketFlow::ifindex() const {
  return name_.empty() ? 0 : static_cast<int>(::if_nametoindex(name_.c_str()));
}

void PacketFlow::readPackets(PacketHandler handler, std::function<void()> burstEnd) {
  readOffloadedPackets(
      [handler = std::move(handler)](std::span<uint8_t> packet, const Offload& offload) {
        if (!handler) return;
        if (offload.plain()) {
          handler(packet, (packet[0] >> 4) == 6 ? 30 : 2);
          return;
        }
        (void)finishOffloaded(packet, offload, [&](std::span<const uint8_t> plain) {
          handler(plain, (plain[0] >> 4) == 6 ? 30 : 2);
        });
      },
      std::move(burstEnd));
}

void PacketFlow::readOffloadedPackets(OffloadHandler handler, std::function<void()> burstEnd) {
  stopReading();
  if (fd_ < 0) return;
  handler_ = std::move(handler);
  burstEnd_ = std::move(burstEnd);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  running_ = true;
  thread_ = std::thread([this] { loop(); });
}

void PacketFlow::loop() {
  std::vector<uint8_t> buffer(65536 + kVnetHeader);
  const size_t skip = vnet_ ? kVnetHeader : 0;
  // Reads do not block, so that the device is drained before the next wait; writes to a TUN
  // device never wait either way.
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  bool wait = false;
  // The first packet after a wait is most likely alone (a game's packets come one at a time):
  // it leaves at once, without a read that finds the device empty first.
  bool woke = false;
  int burst = 0;
  auto endBurst = [&] {
    if (burst > 0 && burstEnd_) burstEnd_();
    burst = 0;
  };
  while (running_) {
    if (wait) {
      endBurst();
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents) break;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      if (!(fds[0].revents & POLLIN)) continue;
      wait = false;
      woke = true;
    }
    ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait = true;
        continue;
      }
      break;
    }
    if (n == 0) break;
    if (static_cast<size_t>(n) <= skip) continue;
    ++read_;
    const Offload offload = vnet_ ? parseHeader(buffer.data()) : Offload{};
    if (handler_)
      handler_(std::span<uint8_t>(buffer.data() + skip, static_cast<size_t>(n) - skip), offload);
    if (++burst >= kBurst || woke) endBurst();
    woke = false;
  }
  endBurst();
  running_ = false;
}

void PacketFlow::stopReading() {
  running_ = false;
  if (wake_ >= 0) {
    uint64_t one = 1;
    (void)::write(wake_, &one, sizeof one);
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  if (wake_ >= 0) ::close(wake_);
  wake_ = -1;
}

bool PacketFlow::writePacket(std::span<const uint8_t> packet, int /*family*/) {
  return write(packet, nullptr);
}

bool PacketFlow::writeOffloaded(std::span<const uint8_t> packet, const Offload& offload) {
  return vnet_ ? write(packet, &offload) : offload.plain() && write(packet, nullptr);
}

bool PacketFlow::write(std::span<const uint8_t> packet, const Offload* offload) {
  std::lock_guard lock(writeMutex_);
  if (fd_ < 0 || packet.empty()) return false;
  uint8_t header[kVnetHeader] = {};
  if (offload) formatHeader(*offload, header);
  iovec parts[2] = {{header, kVnetHeader}, {const_cast<uint8_t*>(packet.data()), packet.size()}};
  const int first = vnet_ ? 0 : 1;
  const size_t expected = packet.size() + (vnet_ ? kVnetHeader : 0);
  ssize_t n;
  do {
    n = ::writev(fd_, parts + first, 2 - first);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(expected)) return false;
  ++written_;
  return true;
}

void PacketFlow::close() {
  stopReading();
  std::lock_guard lock(writeMutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  name_.clear();
}

}  // namespace platform::netext
