#pragma once
// The control socket of the tunnel daemon: Unix SOCK_SEQPACKET, one control message per datagram
// (see ControlMessage.h). Helpers for both ends and a bare blocking client.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/netext/ControlMessage.h"

namespace platform::netext {

// Binds and listens at path (a stale socket file there is replaced), mode 0600, owned by
// ownerUid. Returns the listening fd (close-on-exec, non-blocking) or -errno.
// Run as root, the folder must be root-owned and not writable by group or others (-EPERM); a
// non-socket file at `path` is never replaced (-EEXIST).
int listenControlSocket(const std::string& path, uid_t ownerUid);
// Unlinks `path` only while it is still the socket file identified by (dev, ino).
bool removeControlSocketIfSame(const std::string& path, dev_t dev, ino_t ino);

// Accepts one peer; only root and ownerUid are let in (SO_PEERCRED). Returns the connected fd,
// -EPERM for a refused peer (already closed), or -errno.
int acceptControlPeer(int listenFd, uid_t ownerUid);

// A blocking connection to the daemon at path: the fd (close-on-exec) or -errno.
int connectControlSocket(const std::string& path);

// One whole datagram, or -errno. Messages above kMaxControlMessageSize fail with -EMSGSIZE
// and are discarded whole, so the connection stays usable.
int sendControlMessage(int fd, const std::string& bytes);
// Result of one receive: the bytes, or an error (-EMSGSIZE for an oversized datagram, 0 for
// an orderly close by the peer, -EAGAIN when nothing is waiting on a non-blocking fd).
struct ReceivedMessage {
  std::optional<std::string> bytes;
  int error = 0;
};
ReceivedMessage receiveControlMessage(int fd);

// A blocking client for tools and tests.
class ControlClient {
 public:
  ControlClient() = default;
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // 0 or -errno.
  int connect(const std::string& path);
  bool connected() const { return fd_ >= 0; }
  void close();
  int fd() const { return fd_; }

  int send(const ControlRequest& request);
  // The next daemon message within timeout; nothing on timeout, close or a bad message (then
  // lastError() says why).
  std::optional<DaemonMessage> receive(std::chrono::milliseconds timeout);
  // Receives until a message of that kind arrives (others are dropped), within timeout.
  std::optional<DaemonMessage> receiveKind(DaemonMessageKind kind,
                                           std::chrono::milliseconds timeout);
  const ControlError& lastError() const { return lastError_; }

 private:
  int fd_ = -1;
  ControlError lastError_;
};

}  // namespace platform::netext
