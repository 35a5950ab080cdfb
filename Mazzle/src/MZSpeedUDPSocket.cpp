#include "Mazzle/MZSpeedUDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
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
#include "ReadBatch.h"

struct MZSpeedUDPSocket::Impl {
  explicit Impl(asio::io_context& io) : socket(io) {}
  asio::ip::udp::socket socket;
  // Sends happen on any thread; the descriptor must not be closed (and reused) under them.
  std::mutex fdMutex;
  // Frames held back in a burst, each copied whole; touched by the bursting thread only.
  std::vector<std::vector<uint8_t>> held;
  size_t heldCount = 0;
  // Runs of frames of one size leave as one segmented send (UDP GSO) until the kernel refuses it.
  bool segmentedSends = true;
  int segmentedRefusals = 0;
};

namespace {

// The bursting thread's state: whether a burst runs, and the sockets holding frames.
struct Burst {
  bool open = false;
  std::vector<std::shared_ptr<MZSpeedUDPSocket>> sockets;
};
thread_local Burst tBurst;

}  // namespace

namespace {

// Reads run on one loop only, so every socket of it shares one set of buffers.
using mazzle::ReadBatch;
constexpr unsigned kReadBatch = ReadBatch::kReadBatch;

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
  // Connected: every datagram comes from the entrance.
  s->peerText_ = host + ":" + std::to_string(port);
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
  // The pending wait holds the socket alive; disconnect cancels it.
  impl_->socket.async_wait(asio::socket_base::wait_read,
                           [self = shared_from_this()](const asio::error_code& ec) {
                             if (self->closed_ || ec == asio::error::operation_aborted) return;
                             if (ec && !self->impl_->socket.is_open()) return;
                             if (!ec) self->drain();
                             self->readNext();
                           });
}

void MZSpeedUDPSocket::drain() {
  thread_local ReadBatch batch;
  const int fd = impl_->socket.native_handle();
  // A few batches at most, so that one busy socket leaves the loop to the others.
  for (int round = 0; round < 4 && !closed_; ++round) {
    int n = ::recvmmsg(fd, batch.msgs, kReadBatch, MSG_DONTWAIT, nullptr);
    // Errors such as ICMP port-unreachable on a connected socket are not fatal.
    if (n <= 0) return;
    std::shared_ptr<MZSpeedUDPSocketDelegate> delegate;
    {
      std::lock_guard lock(delegateMutex_);
      delegate = delegate_.lock();
    }
    for (int i = 0; i < n && delegate && !closed_; ++i) {
      if (batch.msgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;  // no frame is that large
      delegate->didReceiveData(
          std::span<const uint8_t>(static_cast<const uint8_t*>(batch.iov[i].iov_base),
                                   batch.msgs[i].msg_len),
          peerText_, *this);
    }
    if (n < static_cast<int>(kReadBatch)) return;
  }
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
  if (tBurst.open) {
    if (impl_->heldCount == kBurstSize) flushBurst();
    if (impl_->heldCount == 0) tBurst.sockets.push_back(shared_from_this());
    if (impl_->held.size() <= impl_->heldCount) impl_->held.emplace_back();
    auto& frame = impl_->held[impl_->heldCount++];
    frame.assign(head.begin(), head.end());
    frame.insert(frame.end(), body.begin(), body.end());
    return true;
  }
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

namespace {

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

// The most a segmented send may carry: the kernel's segment limit, and a datagram's size.
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxSegmentedBytes = 65000;

// Sends `count` frames of `size` bytes each (the last may be shorter) as one datagram the kernel
// cuts into them: one pass through the stack for the whole run. The frames on the wire are the
// same as sent one by one. 0 when sent, else the errno.
int sendSegmented(int fd, const iovec* frames, size_t count, size_t size) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(frames);
  message.msg_iovlen = count;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const uint16_t segment = static_cast<uint16_t>(size);
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &message, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

}  // namespace

void MZSpeedUDPSocket::flushBurst() {
  const size_t count = impl_->heldCount;
  impl_->heldCount = 0;
  if (count == 0 || closed_) return;
  iovec iov[kBurstSize];
  mmsghdr msgs[kBurstSize] = {};
  for (size_t i = 0; i < count; ++i) {
    iov[i] = {impl_->held[i].data(), impl_->held[i].size()};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  std::lock_guard lock(impl_->fdMutex);
  if (!impl_->socket.is_open()) return;
  const int fd = impl_->socket.native_handle();
  bool retried = false;
  for (size_t sent = 0; sent < count;) {
    // A run of frames of the first one's size (the run's last may be shorter).
    size_t run = 1;
    const size_t size = iov[sent].iov_len;
    if (impl_->segmentedSends) {
      size_t bytes = size;
      while (sent + run < count && run < kMaxSegments && iov[sent + run].iov_len <= size &&
             bytes + iov[sent + run].iov_len <= kMaxSegmentedBytes) {
        bytes += iov[sent + run].iov_len;
        ++run;
        if (iov[sent + run - 1].iov_len < size) break;
      }
    }
    if (run > 1) {
      const int err = sendSegmented(fd, iov + sent, run, size);
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      if (err == ECONNREFUSED && !retried) {
        // A refusal reported by ICMP belongs to an earlier frame: the run goes again.
        retried = true;
        continue;
      }
      if (err == EINVAL || err == EIO || err == ENOPROTOOPT || err == EOPNOTSUPP ||
          err == EMSGSIZE) {
        // Segmentation refused: this run goes frame by frame, and after a few refusals (an
        // older kernel, a path without it) every run does.
        if (++impl_->segmentedRefusals >= 4) impl_->segmentedSends = false;
        const int n = ::sendmmsg(fd, msgs + sent, static_cast<unsigned>(run), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        sent += n > 0 ? static_cast<size_t>(n) : 1;
        continue;
      }
      // Sent, or lost as its frames would be one by one.
      sent += run;
      continue;
    }
    // What the socket cannot take at once is dropped, as a single send would be.
    const size_t batch = impl_->segmentedSends ? run : count - sent;
    int n = ::sendmmsg(fd, msgs + sent, static_cast<unsigned>(batch), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // Another error (a refusal reported by ICMP) belongs to the first frame, which is lost.
    sent += n > 0 ? static_cast<size_t>(n) : 1;
  }
}

void MZSpeedUDPSocket::beginBurst() { tBurst.open = true; }

void MZSpeedUDPSocket::endBurst() {
  tBurst.open = false;
  auto sockets = std::move(tBurst.sockets);
  tBurst.sockets.clear();
  for (auto& socket : sockets) socket->flushBurst();
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
