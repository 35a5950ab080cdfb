#include "platform/netext/PacketFlow.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace platform::netext {

PacketFlow::~PacketFlow() { close(); }

int PacketFlow::open(const std::string& namePattern) {
  close();
  if (namePattern.size() >= IFNAMSIZ) return -ENAMETOOLONG;
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::memcpy(ifr.ifr_name, namePattern.data(), namePattern.size());
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  adopt(fd, std::string(ifr.ifr_name, ::strnlen(ifr.ifr_name, IFNAMSIZ)));
  return 0;
}

void PacketFlow::adopt(int fd, std::string name) {
  close();
  fd_ = fd;
  name_ = std::move(name);
}

int PacketFlow::ifindex() const {
  return name_.empty() ? 0 : static_cast<int>(::if_nametoindex(name_.c_str()));
}

void PacketFlow::readPackets(PacketHandler handler, std::function<void()> burstEnd) {
  stopReading();
  if (fd_ < 0) return;
  handler_ = std::move(handler);
  burstEnd_ = std::move(burstEnd);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  running_ = true;
  thread_ = std::thread([this] { loop(); });
}

void PacketFlow::loop() {
  std::vector<uint8_t> buffer(65536);
  // Reads do not block, so that the device is drained before the next wait; writes to a TUN
  // device never wait either way.
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  bool wait = false;
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
    ++read_;
    const int family = (buffer[0] >> 4) == 6 ? 30 : 2;
    if (handler_) handler_(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), family);
    if (++burst >= kBurst) endBurst();
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
  std::lock_guard lock(writeMutex_);
  if (fd_ < 0 || packet.empty()) return false;
  ssize_t n;
  do {
    n = ::write(fd_, packet.data(), packet.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(packet.size())) return false;
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
