#include "Mazzle/MZSpeedUDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <asio/ip/udp.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Mazzle/MZHelper.h"
#include "Mazzle/MZQueueFactory.h"
#include "Mazzle/MZRawSocketFactory.h"

struct MZSpeedUDPSocket::Impl {
  explicit Impl(asio::io_context& io) : socket(io) {}
  asio::ip::udp::socket socket;
  // A tunnel frame carries at most one IPv4 packet plus headers.
  std::array<uint8_t, 65536> buffer{};
  asio::ip::udp::endpoint sender;
  // Sends happen on any thread; the descriptor must not be closed (and reused) under them.
  std::mutex fdMutex;
};

namespace {

void logError(const std::string& text) { std::cerr << "MZSpeedUDPSocket: " << text << "\n"; }

}  // namespace

MZSpeedUDPSocket::MZSpeedUDPSocket(std::string host, uint16_t port)
    : host_(std::move(host)), port_(port) {}

MZSpeedUDPSocket::~MZSpeedUDPSocket() {
  if (impl_ && impl_->socket.is_open()) {
    asio::error_code ignored;
    impl_->socket.close(ignored);
  }
}

std::shared_ptr<MZSpeedUDPSocket> MZSpeedUDPSocket::initWithHost(
    const std::string& host, uint16_t port, std::weak_ptr<MZSpeedUDPSocketDelegate> delegate) {
  auto addr = MZHelper::ipv4AddrFromLiteral(host);
  if (!addr || port == 0) {
    logError("bad entrance " + host + ":" + std::to_string(port));
    return nullptr;
  }
  int fd = MZRawSocketFactory::sharedInstance().makeUDPSocket(AF_INET);
  if (fd < 0) {
    logError("no socket: " + std::string(std::strerror(-fd)));
    return nullptr;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(*addr);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    logError("connect " + host + ": " + std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);

  std::shared_ptr<MZSpeedUDPSocket> s(new MZSpeedUDPSocket(host, port));
  s->localPort_ = ntohs(local.sin_port);
  s->delegate_ = std::move(delegate);
  s->impl_ = std::make_unique<Impl>(MZQueueFactory::queue());
  asio::error_code ec;
  s->impl_->socket.assign(asio::ip::udp::v4(), fd, ec);
  if (ec) {
    logError("assign: " + ec.message());
    ::close(fd);
    return nullptr;
  }
  MZQueueFactory::async([weak = std::weak_ptr<MZSpeedUDPSocket>(s)] {
    if (auto self = weak.lock()) self->readNext();
  });
  return s;
}

void MZSpeedUDPSocket::readNext() {
  if (closed_) return;
  // The pending read holds the socket alive; disconnect cancels it.
  impl_->socket.async_receive_from(
      asio::buffer(impl_->buffer), impl_->sender,
      [self = shared_from_this()](const asio::error_code& ec, size_t n) {
        if (self->closed_ || ec == asio::error::operation_aborted) return;
        if (!ec) {
          std::shared_ptr<MZSpeedUDPSocketDelegate> delegate;
          {
            std::lock_guard lock(self->delegateMutex_);
            delegate = self->delegate_.lock();
          }
          if (delegate) {
            std::string from = self->impl_->sender.address().to_string() + ":" +
                               std::to_string(self->impl_->sender.port());
            delegate->didReceiveData(std::span<const uint8_t>(self->impl_->buffer.data(), n), from,
                                     *self);
          }
        }
        // Errors such as ICMP port-unreachable on a connected socket are not fatal: keep reading.
        self->readNext();
      });
}

bool MZSpeedUDPSocket::writeData(std::span<const uint8_t> data) {
  if (closed_ || !impl_) return false;
  std::lock_guard lock(impl_->fdMutex);
  if (!impl_->socket.is_open()) return false;
  // A connected datagram socket may be written from any thread without the loop.
  ssize_t n = ::send(impl_->socket.native_handle(), data.data(), data.size(), MSG_DONTWAIT);
  return n == static_cast<ssize_t>(data.size());
}

bool MZSpeedUDPSocket::writeData(std::span<const uint8_t> head, std::span<const uint8_t> body) {
  if (closed_ || !impl_) return false;
  std::lock_guard lock(impl_->fdMutex);
  if (!impl_->socket.is_open()) return false;
  iovec parts[2] = {{const_cast<uint8_t*>(head.data()), head.size()},
                    {const_cast<uint8_t*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  ssize_t n = ::sendmsg(impl_->socket.native_handle(), &message, MSG_DONTWAIT);
  return n == static_cast<ssize_t>(head.size() + body.size());
}

void MZSpeedUDPSocket::setDelegate(std::weak_ptr<MZSpeedUDPSocketDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

void MZSpeedUDPSocket::disconnect() {
  if (closed_.exchange(true)) return;
  {
    std::lock_guard lock(delegateMutex_);
    delegate_.reset();
  }
  // The read is cancelled and the descriptor closed on the loop, where the read runs.
  MZQueueFactory::async([self = shared_from_this()] {
    asio::error_code ignored;
    std::lock_guard lock(self->impl_->fdMutex);
    self->impl_->socket.close(ignored);
  });
}
