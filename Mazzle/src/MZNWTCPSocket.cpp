#include "Mazzle/MZNWTCPSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Mazzle/MZHelper.h"
#include "Mazzle/MZRawSocketFactory.h"

MZNWTCPSocket::~MZNWTCPSocket() { close(); }

void MZNWTCPSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int MZNWTCPSocket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int MZNWTCPSocket::connect(const std::string& host, uint16_t port,
                           std::chrono::milliseconds timeout) {
  close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (auto literal = MZHelper::ipv4AddrFromLiteral(host)) {
    addr.sin_addr.s_addr = htonl(*literal);
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return -EHOSTUNREACH;
    addr.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    ::freeaddrinfo(result);
  }
  int fd = MZRawSocketFactory::sharedInstance().makeTCPSocket(AF_INET);
  if (fd < 0) return fd;
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno != EINPROGRESS) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (rc <= 0) {
      ::close(fd);
      return -ETIMEDOUT;
    }
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (soerr != 0) {
      ::close(fd);
      return -soerr;
    }
  }
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  return 0;
}
