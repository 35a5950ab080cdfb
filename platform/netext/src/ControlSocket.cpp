#include "platform/netext/ControlSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace platform::netext {
namespace {

bool fillAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

// Creates the last step of `folder` below a parent owned by root and writable by nobody else;
// an open descriptor of it, or -errno.
int makeRunFolder(const std::string& folder) {
  const size_t slash = folder.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= folder.size()) return -ENOENT;
  const std::string parent = slash == 0 ? "/" : folder.substr(0, slash);
  const std::string leaf = folder.substr(slash + 1);
  if (leaf == "." || leaf == "..") return -EINVAL;
  int up = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (up < 0) return -errno;
  struct stat st;
  if (::fstat(up, &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ::close(up);
    return -EPERM;
  }
  if (::mkdirat(up, leaf.c_str(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    ::close(up);
    return -err;
  }
  int dir = ::openat(up, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = errno;
  ::close(up);
  if (dir < 0) return -err;
  if (::fstat(dir, &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ::close(dir);
    return -EPERM;
  }
  // Others reach the socket inside (its own mode limits it to its owner).
  if (::chmod(("/proc/self/fd/" + std::to_string(dir)).c_str(), 0755) != 0) {
    err = errno;
    ::close(dir);
    return -err;
  }
  return dir;
}

}  // namespace

int listenControlSocket(const std::string& path, uid_t ownerUid) {
  sockaddr_un addr;
  if (!fillAddress(path, addr)) return -ENAMETOOLONG;
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return -EINVAL;
  int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 && errno == ENOENT && ::geteuid() == 0) {
    // A fresh boot has no run folder yet: root makes its last step (root's, 0755) when the
    // folder above it is root's alone, as /run is.
    dir = makeRunFolder(folder);
    if (dir < 0) return dir;
  }
  if (dir < 0) return -errno;
  struct stat st;
  // Run as root, the folder must be ours alone: anyone else who can write there could plant a
  // link for the owner change below to follow, or swap the file between our steps.
  if (::fstat(dir, &st) != 0 ||
      (::geteuid() == 0 && (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))))) {
    ::close(dir);
    return -EPERM;
  }
  // Only a socket file is replaced; anything else at the path is somebody's data.
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISSOCK(st.st_mode)) {
    ::close(dir);
    return -EEXIST;
  }
  // Bound under a private name, made the owner's, then renamed into place in one step.
  const std::string privateName = "." + name + ".new-" + std::to_string(::getpid());
  const std::string privatePath = folder + "/" + privateName;
  sockaddr_un privateAddr;
  if (!fillAddress(privatePath, privateAddr)) {
    ::close(dir);
    return -ENAMETOOLONG;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    int err = errno;
    ::close(dir);
    return -err;
  }
  ::unlinkat(dir, privateName.c_str(), 0);
  // Created private, then handed to the owner, so nobody else can connect in between.
  mode_t old = ::umask(0177);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&privateAddr), sizeof privateAddr);
  ::umask(old);
  bool bound = rc == 0;
  if (rc == 0 && ::geteuid() == 0)
    rc =
        ::fchownat(dir, privateName.c_str(), ownerUid, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW);
  if (rc == 0) rc = ::listen(fd, 4);
  if (rc == 0) rc = ::renameat(dir, privateName.c_str(), dir, name.c_str());
  if (rc != 0) {
    int err = errno;
    if (bound) ::unlinkat(dir, privateName.c_str(), 0);
    ::close(fd);
    ::close(dir);
    return -err;
  }
  ::close(dir);
  return fd;
}

bool removeControlSocketIfSame(const std::string& path, dev_t dev, ino_t ino) {
  struct stat st;
  // Only the file this process bound goes, never one that replaced it or was there before.
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_dev != dev ||
      st.st_ino != ino)
    return false;
  return ::unlink(path.c_str()) == 0;
}

int acceptControlPeer(int listenFd, uid_t ownerUid) {
  int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -errno;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
      (cred.uid != 0 && cred.uid != ownerUid)) {
    ::close(fd);
    return -EPERM;
  }
  return fd;
}

int sendControlMessage(int fd, const std::string& bytes) {
  if (bytes.size() > kMaxControlMessageSize) return -EMSGSIZE;
  for (;;) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      // A slow reader: wait briefly for room rather than lose a status event.
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) > 0) continue;
    }
    return -errno;
  }
}

ReceivedMessage receiveControlMessage(int fd) {
  ReceivedMessage out;
  for (;;) {
    // Peek the real size first so an oversized datagram is dropped without a big buffer.
    ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (size < 0) {
      if (errno == EINTR) continue;
      out.error = -errno;
      return out;
    }
    if (static_cast<size_t>(size) > kMaxControlMessageSize) {
      char byte;
      (void)::recv(fd, &byte, 1, 0);
      out.error = -EMSGSIZE;
      return out;
    }
    std::string buffer(static_cast<size_t>(size), '\0');
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.error = -errno;
      return out;
    }
    if (n == 0 && size == 0) {
      // Zero-length datagrams cannot be told from a close on SEQPACKET; treat both as close.
      out.error = 0;
      return out;
    }
    buffer.resize(static_cast<size_t>(n));
    out.bytes = std::move(buffer);
    return out;
  }
}

ControlClient::~ControlClient() { close(); }

void ControlClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int connectControlSocket(const std::string& path) {
  sockaddr_un addr;
  if (!fillAddress(path, addr)) return -ENAMETOOLONG;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  return fd;
}

int ControlClient::connect(const std::string& path) {
  close();
  int fd = connectControlSocket(path);
  if (fd < 0) return fd;
  fd_ = fd;
  return 0;
}

int ControlClient::send(const ControlRequest& request) {
  if (fd_ < 0) return -ENOTCONN;
  return sendControlMessage(fd_, encodeRequest(request));
}

std::optional<DaemonMessage> ControlClient::receive(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  int rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (rc <= 0) {
    lastError_ = {kControlErrorDomain, ETIMEDOUT, "no message from the daemon in time"};
    return std::nullopt;
  }
  auto received = receiveControlMessage(fd_);
  if (!received.bytes) {
    lastError_ = {
        kControlErrorDomain, -received.error,
        received.error == 0 ? "daemon closed the connection" : std::strerror(-received.error)};
    return std::nullopt;
  }
  return decodeDaemonMessage(*received.bytes, &lastError_);
}

std::optional<DaemonMessage> ControlClient::receiveKind(DaemonMessageKind kind,
                                                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    auto message = receive(left);
    if (!message) {
      if (lastError_.code == ETIMEDOUT || lastError_.code == 0 || fd_ < 0) return std::nullopt;
      if (lastError_.description == "daemon closed the connection") return std::nullopt;
      continue;
    }
    if (message->kind == kind) return message;
  }
}

}  // namespace platform::netext
