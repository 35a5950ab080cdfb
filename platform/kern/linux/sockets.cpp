// Kernel UDP sockets of the data path on Linux: plain UDP sockets carrying the filter's mark (so
// the output chain lets the frames pass), with upcalls from one epoll thread.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "Backend.h"
#include "SocketOpaque.h"
#include "platform/kern/kern.h"

namespace platform::kern {

namespace {

constexpr size_t kMaxDatagram = 65535;

// Datagrams of the socket whose upcall runs on this thread, read together and handed out one by
// one: `t_read` holds them while its upcall runs.
class ReadBatch {
 public:
  static constexpr size_t kCount = 32;
  ReadBatch() : buf_(new uint8_t[kCount * kMaxDatagram]) {}
  // Reads what the socket holds (up to kCount); 0 or an errno.
  errno_t fill(int fd) {
    clear();
    for (size_t i = 0; i < kCount; ++i) {
      iov_[i] = {buf_.get() + i * kMaxDatagram, kMaxDatagram};
      msgs_[i] = {};
      msgs_[i].msg_hdr.msg_iov = &iov_[i];
      msgs_[i].msg_hdr.msg_iovlen = 1;
    }
    int n = ::recvmmsg(fd, msgs_, kCount, MSG_DONTWAIT, nullptr);
    if (n < 0) return errno;
    count_ = static_cast<size_t>(n);
    filled_ = true;
    return 0;
  }
  // The next datagram read, or false when none is left.
  bool next(const uint8_t** data, size_t* len) {
    if (next_ >= count_) return false;
    *data = buf_.get() + next_ * kMaxDatagram;
    *len = msgs_[next_].msg_len;
    ++next_;
    return true;
  }
  // Whether the last read took all the socket held (it returned fewer than it could take).
  bool drained() const { return filled_ && next_ >= count_ && count_ < kCount; }
  void clear() { count_ = next_ = 0, filled_ = false; }

 private:
  std::unique_ptr<uint8_t[]> buf_;
  mmsghdr msgs_[kCount];
  iovec iov_[kCount];
  size_t count_ = 0, next_ = 0;
  bool filled_ = false;
};

thread_local socket_opaque* t_reading = nullptr;
thread_local ReadBatch t_read;

// One thread waits on every socket; a socket found readable gets its upcall there.
class Reactor {
 public:
  static Reactor& instance() {
    static Reactor* r = new Reactor;  // lives to the end: sockets may close during exit
    return *r;
  }

  errno_t add(socket_opaque* so) {
    std::unique_lock g(m_);
    if (epfd_ < 0) {
      epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
      if (epfd_ < 0) return errno;
      wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
      epoll_event wake{};
      wake.events = EPOLLIN;
      wake.data.u64 = kWakeId;
      if (wake_fd_ < 0 || ::epoll_ctl(epfd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) {
        errno_t e = errno;
        if (wake_fd_ >= 0) ::close(wake_fd_);
        ::close(epfd_);
        epfd_ = wake_fd_ = -1;
        return e;
      }
      thread_ = std::thread([this] { loop(); });
    }
    so->id = ++next_id_;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = so->id;
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, so->fd, &ev) != 0) return errno;
    sockets_[so->id] = so;
    return 0;
  }

  // Joins the thread once no socket is left (a later socket starts a new one); EBUSY while some
  // are open, and from the reactor thread itself.
  errno_t shutdown() {
    std::unique_lock g(m_);
    if (epfd_ < 0) return 0;
    if (!sockets_.empty() || std::this_thread::get_id() == reactor_thread_) return EBUSY;
    uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) return errno;
    std::thread t = std::move(thread_);
    g.unlock();
    t.join();
    g.lock();
    ::close(epfd_);
    ::close(wake_fd_);
    epfd_ = wake_fd_ = -1;
    reactor_thread_ = {};
    return 0;
  }

  // Returns once no upcall of the socket runs any more, except when called from inside that
  // very upcall: the reactor then frees the socket when the upcall returns.
  void close(socket_opaque* so) {
    std::unique_lock g(m_);
    if (so->id) {
      ::epoll_ctl(epfd_, EPOLL_CTL_DEL, so->fd, nullptr);
      sockets_.erase(so->id);
    }
    if (so->in_upcall) {
      if (std::this_thread::get_id() == reactor_thread_) {
        so->closed = true;
        return;
      }
      idle_.wait(g, [so] { return !so->in_upcall; });
    }
    g.unlock();
    destroy(so);
  }

 private:
  static void destroy(socket_opaque* so) {
    if (so->fd >= 0) ::close(so->fd);
    delete so;
  }

  void loop() {
    {
      std::lock_guard g(m_);
      reactor_thread_ = std::this_thread::get_id();
    }
    epoll_event events[64];
    for (;;) {
      int n = ::epoll_wait(epfd_, events, 64, linux_backend::record_batch_wait_ms());
      if (n < 0) {
        if (errno == EINTR) continue;
        linux_backend::record_batch_flush();
        return;
      }
      // The records of the packets handled in this round are written after the packets.
      linux_backend::RecordBatchScope batch;
      for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeId) {
          linux_backend::record_batch_flush();
          return;
        }
        socket_opaque* so = nullptr;
        {
          std::lock_guard g(m_);
          auto it = sockets_.find(events[i].data.u64);
          if (it == sockets_.end()) continue;  // closed since epoll_wait returned
          so = it->second;
          so->in_upcall = true;
        }
        if (so->upcall) {
          t_reading = so;
          so->upcall(so, so->cookie, 0);
          t_reading = nullptr;
          t_read.clear();  // what its upcall left unread is lost, as without buffers
        }
        bool free_it;
        {
          std::lock_guard g(m_);
          so->in_upcall = false;
          free_it = so->closed;
        }
        idle_.notify_all();
        if (free_it) destroy(so);
      }
    }
  }

  static constexpr uint64_t kWakeId = 0;  // sockets are numbered from 1

  std::mutex m_;
  std::condition_variable idle_;
  int epfd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::thread::id reactor_thread_;
  uint64_t next_id_ = 0;
  std::unordered_map<uint64_t, socket_opaque*> sockets_;
};

// Whether the address the socket is bound to is still one of the host's.
bool source_address_gone(int fd) {
  sockaddr_in mine{};
  socklen_t ml = sizeof mine;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &ml) != 0 ||
      mine.sin_addr.s_addr == INADDR_ANY)
    return false;
  int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  mine.sin_port = 0;
  bool gone =
      ::bind(probe, reinterpret_cast<sockaddr*>(&mine), sizeof mine) != 0 && errno == EADDRNOTAVAIL;
  ::close(probe);
  return gone;
}

// A connected socket whose source address has left the host fails with ENETUNREACH on a current
// kernel (EINVAL on some older routes), the same error as a lost route: the data path knows the
// first case as EADDRNOTAVAIL and re-creates the socket, so it is told apart here.
errno_t send_error(int fd, int e) {
  if (e == EAGAIN) return EWOULDBLOCK;
  if ((e == EINVAL || e == ENETUNREACH) && source_address_gone(fd)) return EADDRNOTAVAIL;
  return e;
}

}  // namespace

errno_t sock_socket(int domain, int type, int protocol, sock_upcall callback, void* cookie,
                    socket_t* out) {
  *out = nullptr;
  if (domain != PF_INET || type != SOCK_DGRAM || (protocol != 0 && protocol != IPPROTO_UDP))
    return EPROTONOSUPPORT;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return errno;
  uint32_t mark = linux_backend::kServerSocketMark;
  int pmtu = IP_PMTUDISC_DONT;
  if (::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu) != 0) {
    errno_t e = errno;
    ::close(fd);
    return e;
  }
  auto* so = new (std::nothrow) socket_opaque;
  if (!so) {
    ::close(fd);
    return ENOMEM;
  }
  so->fd = fd;
  so->upcall = callback;
  so->cookie = cookie;
  errno_t e = Reactor::instance().add(so);
  if (e != 0) {
    ::close(fd);
    delete so;
    return e;
  }
  *out = so;
  return 0;
}

errno_t sock_connect(socket_t so, const sockaddr_in* to, int) {
  if (!so || !to) return EINVAL;
  if (::connect(so->fd, reinterpret_cast<const sockaddr*>(to), sizeof *to) != 0) return errno;
  return 0;
}

errno_t sock_nonblock(socket_t so, bool on) {
  if (!so) return EINVAL;
  int flags = ::fcntl(so->fd, F_GETFL);
  if (flags < 0) return errno;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(so->fd, F_SETFL, flags) != 0) return errno;
  return 0;
}

errno_t sock_send(socket_t so, const void* data, size_t len, size_t* sent) {
  *sent = 0;
  if (!so) return EINVAL;
  ssize_t n = ::send(so->fd, data, len, MSG_NOSIGNAL);
  if (n < 0) return send_error(so->fd, errno);
  *sent = static_cast<size_t>(n);
  return 0;
}

errno_t sock_send2(socket_t so, const void* head, size_t head_len, const void* body,
                   size_t body_len, size_t* sent) {
  *sent = 0;
  if (!so) return EINVAL;
  iovec iov[2] = {{const_cast<void*>(head), head_len}, {const_cast<void*>(body), body_len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  ssize_t n = ::sendmsg(so->fd, &msg, MSG_NOSIGNAL);
  if (n < 0) return send_error(so->fd, errno);
  *sent = static_cast<size_t>(n);
  return 0;
}

errno_t sock_receivembuf(socket_t so, mbuf_t* out) {
  *out = nullptr;
  if (!so) return EINVAL;
  const uint8_t* data = nullptr;
  size_t len = 0;
  if (so == t_reading) {
    // In its upcall: datagrams are read several at a time. Once a read took all there was, the
    // socket counts as empty; what arrives later makes it readable again for the next round.
    ReadBatch& b = t_read;
    if (!b.next(&data, &len)) {
      if (b.drained()) {
        b.clear();
        return EWOULDBLOCK;
      }
      errno_t e = b.fill(so->fd);
      if (e != 0) return e == EAGAIN ? EWOULDBLOCK : e;
      if (!b.next(&data, &len)) {
        b.clear();
        return EWOULDBLOCK;
      }
    }
  } else {
    thread_local std::unique_ptr<uint8_t[]> buf(new uint8_t[kMaxDatagram]);
    ssize_t n = ::recv(so->fd, buf.get(), kMaxDatagram, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN ? EWOULDBLOCK : errno;
    data = buf.get();
    len = static_cast<size_t>(n);
  }
  // A buffer that fits the datagram exactly.
  mbuf_t m = nullptr;
  if (mbuf_allocpacket(len ? len : 1, &m) != 0) return ENOMEM;  // lost, as without buffers
  std::memcpy(mbuf_data(m), data, len);
  mbuf_setlen(m, len);
  *out = m;
  return 0;
}

void sock_close(socket_t so) {
  if (so) Reactor::instance().close(so);
}

namespace linux_backend {
errno_t sockets_shutdown() { return Reactor::instance().shutdown(); }

namespace {
std::atomic<RecordBatchHook> g_batch_begin{nullptr};
std::atomic<RecordBatchHook> g_batch_end{nullptr};
std::atomic<RecordBatchWait> g_batch_wait{nullptr};
}  // namespace

void set_record_batch_hooks(RecordBatchHook begin, RecordBatchHook end, RecordBatchWait wait) {
  g_batch_wait.store(wait);
  g_batch_end.store(end);
  g_batch_begin.store(begin);
}

int record_batch_wait_ms() {
  RecordBatchWait wait = g_batch_wait.load();
  return wait ? wait(false) : -1;
}

void record_batch_flush() {
  if (RecordBatchWait wait = g_batch_wait.load()) wait(true);
}

RecordBatchScope::RecordBatchScope() : end_(nullptr) {
  RecordBatchHook begin = g_batch_begin.load();
  if (!begin) return;
  end_ = g_batch_end.load();
  if (end_) begin();
}

RecordBatchScope::~RecordBatchScope() {
  if (end_) end_();
}
}  // namespace linux_backend

}  // namespace platform::kern
