#include "Mazzle/MZRawSocketFactory.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

MZRawSocketFactory& MZRawSocketFactory::sharedInstance() {
  static MZRawSocketFactory* factory = new MZRawSocketFactory();
  return *factory;
}

void MZRawSocketFactory::setTunnelProvider(std::shared_ptr<const void> provider) {
  std::lock_guard lock(mutex_);
  provider_ = std::move(provider);
}

std::shared_ptr<const void> MZRawSocketFactory::tunnelProvider() const {
  std::lock_guard lock(mutex_);
  return provider_;
}

void MZRawSocketFactory::setMark(std::optional<uint32_t> mark) {
  std::lock_guard lock(mutex_);
  mark_ = mark;
}

std::optional<uint32_t> MZRawSocketFactory::mark() const {
  std::lock_guard lock(mutex_);
  return mark_;
}

void MZRawSocketFactory::setUp() {
  std::lock_guard lock(mutex_);
  setUp_ = true;
}

bool MZRawSocketFactory::isSetUp() const {
  std::lock_guard lock(mutex_);
  return setUp_;
}

int MZRawSocketFactory::makeSocket(int family, int type, int protocol) const {
  std::optional<uint32_t> mark = this->mark();
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return -errno;
  if (mark) {
    unsigned int value = *mark;
    if (::setsockopt(fd, SOL_SOCKET, SO_MARK, &value, sizeof(value)) != 0) {
      int err = errno;
      ::close(fd);
      return -err;
    }
  }
  return fd;
}

int MZRawSocketFactory::makeUDPSocket(int family) const {
  return makeSocket(family, SOCK_DGRAM, 0);
}

int MZRawSocketFactory::makeTCPSocket(int family) const {
  return makeSocket(family, SOCK_STREAM, 0);
}

void MZRawSocketFactory::reset() {
  std::lock_guard lock(mutex_);
  provider_.reset();
  mark_.reset();
  setUp_ = false;
}
