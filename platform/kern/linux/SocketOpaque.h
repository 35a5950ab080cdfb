// The one socket type of the Linux back end: a kernel UDP socket of the data path, or an
// application's socket that the socket filters were attached to (rebuilt from its traffic).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/kern/kern.h"

namespace platform::kern {

struct socket_opaque {
  // Kernel sockets.
  int fd = -1;
  uint64_t id = 0;
  sock_upcall upcall = nullptr;
  void* cookie = nullptr;
  bool in_upcall = false;  // guarded by the reactor mutex
  bool closed = false;     // closed while its upcall ran: the reactor frees it

  // Filtered sockets.
  bool filtered = false;
  uint8_t protocol = 0;
  sockaddr_in local{};
  sockaddr_in remote{};  // the peer of the flow it was rebuilt from (TCP: its connection)
  // Callbacks of one socket never overlap; a detach asked inside one runs after it.
  std::mutex callbacks;
  std::atomic<std::thread::id> in_callbacks{};
  sflt_filter filter{};
  void* filter_cookie = nullptr;
  bool attached = false;
  bool detach_pending = false;
  uint64_t socket_cookie = 0;  // the kernel's identity of the socket (ICMP: its marked inode)
  uint64_t inode = 0;
  // What the monitor has told the filter so far (guarded by `callbacks`).
  bool connected_told = false;
  bool closing_told = false;
  uint64_t bytes_out_told = 0;
  uint64_t bytes_in_told = 0;
  std::atomic<uint32_t> last_srtt_us{0};  // the last time seen, for a connection already gone
  // Not (or no longer) attached: the monitor skips it. Set until an attach succeeds, so that
  // the monitor never holds a socket the filters declined (those are freed at once).
  std::atomic<bool> retired{true};
};

}  // namespace platform::kern
