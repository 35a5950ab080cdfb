#include "platform/kctl/Client.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/kctl/wire.h"

namespace platform::kctl {

int resolve(const std::string& name, std::string* path) {
  std::string p = wire::socket_path(wire::run_dir(), name);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return ENOENT;
  *path = p;
  return 0;
}

Client::~Client() { close(); }

int Client::connect(const std::string& path, bool probe) {
  if (record_fd_ >= 0) return EISCONN;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return errno;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int e = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    return e;
  }
  auto fail = [&](int e) {
    ::close(fd);
    ::close(pair[0]);
    if (pair[1] >= 0) ::close(pair[1]);
    return e;
  };
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(errno);

  wire::Hello hello{};
  std::memcpy(hello.magic, wire::kMagic, 4);
  hello.version = wire::kVersion;
  hello.flags = probe ? wire::kHelloProbe : 0;
  iovec iov{&hello, sizeof hello};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &pair[1], sizeof(int));
  if (::sendmsg(fd, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello)) return fail(errno);
  ::close(pair[1]);
  pair[1] = -1;

  // A daemon that never answers must not hang the caller.
  timeval tv{5, 0};
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  wire::HelloReply reply{};
  ssize_t n;
  do {
    n = ::recv(pair[0], &reply, sizeof reply, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(errno == EAGAIN ? ETIMEDOUT : errno);
  if (n != static_cast<ssize_t>(sizeof reply)) return fail(n == 0 ? ECONNRESET : EPROTO);
  if (reply.result != 0) return fail(reply.result);
  timeval none{0, 0};
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  if (probe) {
    ::close(fd);
    ::close(pair[0]);
    return 0;
  }
  std::lock_guard g(state_mutex_);
  record_fd_ = fd;
  option_fd_ = pair[0];
  unit_ = reply.unit;
  closing_ = false;
  return 0;
}

int Client::option_call(const void* req, size_t req_len, void* reply_buf, size_t reply_cap,
                        size_t* reply_len) {
  std::lock_guard g(option_mutex_);
  int fd;
  {
    std::lock_guard s(state_mutex_);
    if (option_fd_ < 0 || closing_) return ENOTCONN;
    fd = option_fd_;
  }
  if (::send(fd, req, req_len, MSG_NOSIGNAL) != static_cast<ssize_t>(req_len)) return errno;
  ssize_t n;
  do {
    n = ::recv(fd, reply_buf, reply_cap, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  if (n == 0) return ENOTCONN;
  *reply_len = static_cast<size_t>(n);
  return 0;
}

int Client::setOption(int level, int name, const void* data, size_t len) {
  if (len > wire::kMaxOptionLen) return EINVAL;
  std::vector<uint8_t> req(sizeof(wire::OptionRequest) + len);
  wire::OptionRequest h{wire::kOpSet, level, name, static_cast<uint32_t>(len)};
  std::memcpy(req.data(), &h, sizeof h);
  if (len) std::memcpy(req.data() + sizeof h, data, len);
  wire::OptionReply reply{};
  size_t got = 0;
  int e = option_call(req.data(), req.size(), &reply, sizeof reply, &got);
  if (e) return e;
  if (got != sizeof reply) return EPROTO;
  return reply.err;
}

int Client::getOption(int level, int name, void* buf, size_t* len) {
  if (*len > wire::kMaxOptionLen) return EINVAL;
  std::vector<uint8_t> req(sizeof(wire::OptionRequest) + *len);
  wire::OptionRequest h{wire::kOpGet, level, name, static_cast<uint32_t>(*len)};
  std::memcpy(req.data(), &h, sizeof h);
  if (*len) std::memcpy(req.data() + sizeof h, buf, *len);
  std::vector<uint8_t> reply(sizeof(wire::OptionReply) + wire::kMaxOptionLen);
  size_t got = 0;
  int e = option_call(req.data(), req.size(), reply.data(), reply.size(), &got);
  if (e) return e;
  wire::OptionReply r;
  if (got < sizeof r) return EPROTO;
  std::memcpy(&r, reply.data(), sizeof r);
  if (r.err) return r.err;
  if (r.len != got - sizeof r || r.len > *len) return EPROTO;
  std::memcpy(buf, reply.data() + sizeof r, r.len);
  *len = r.len;
  return 0;
}

long Client::readRecord(void* buf, size_t cap) {
  int fd;
  {
    std::lock_guard s(state_mutex_);
    if (record_fd_ < 0 || closing_) return 0;
    fd = record_fd_;
    ++readers_;
  }
  ssize_t n;
  do {
    n = ::recv(fd, buf, cap, 0);
  } while (n < 0 && errno == EINTR);
  long result = n < 0 ? -errno : n;
  {
    std::lock_guard s(state_mutex_);
    if (--readers_ == 0) readers_gone_.notify_all();
    if (closing_) result = 0;
  }
  return result;
}

void Client::close() {
  {
    std::unique_lock s(state_mutex_);
    if (record_fd_ < 0 || closing_) return;
    closing_ = true;
    // Wakes a blocked reader and tells the daemon at once.
    ::shutdown(record_fd_, SHUT_RDWR);
    ::shutdown(option_fd_, SHUT_RDWR);
    readers_gone_.wait(s, [&] { return readers_ == 0; });
  }
  std::lock_guard g(option_mutex_);  // an option call in flight has ended
  std::lock_guard s(state_mutex_);
  ::close(record_fd_);
  ::close(option_fd_);
  record_fd_ = option_fd_ = -1;
  unit_ = 0;
  closing_ = false;
}

}  // namespace platform::kctl
