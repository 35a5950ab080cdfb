// What the app reads from a tunnel daemon: datagrams (2-byte length prefixes split the input)
// through a real socket pair, received and decoded as the connection's reader does.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/netext/ControlSocket.h"

using namespace platform::netext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  size_t pos = 0;
  int sent = 0;
  while (pos + 2 <= size && sent < 16) {
    size_t len = (static_cast<size_t>(data[pos]) << 8) | data[pos + 1];
    pos += 2;
    if (len > size - pos) len = size - pos;
    if (len == 0) continue;  // an empty datagram reads as a hang-up
    std::string bytes(reinterpret_cast<const char*>(data + pos), len);
    pos += len;
    if (sendControlMessage(fds[0], bytes) == 0) ++sent;
  }
  ::close(fds[0]);
  for (;;) {
    auto got = receiveControlMessage(fds[1]);
    if (!got.bytes) break;
    ControlError error;
    auto message = decodeDaemonMessage(*got.bytes, &error);
    if (!message) {
      if (error.description.empty()) __builtin_trap();  // a refusal always says why
      continue;
    }
    // A message the app accepted must survive being written again unchanged.
    auto again = decodeDaemonMessage(encodeDaemonMessage(*message));
    if (!again || again->kind != message->kind || again->status != message->status ||
        again->reply != message->reply || again->error != message->error)
      __builtin_trap();
  }
  ::close(fds[1]);
  return 0;
}
