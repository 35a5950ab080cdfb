// Controls of the simulated back end, for tests and the simulating daemon. Deterministic unless
// the threads mode is on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/kern/kern.h"

namespace platform::kern::sim {

// ---- base: clock, log, allocation, locks (also used by the Linux back end, with real time).
void use_virtual_time(bool on);
void set_time(int64_t sec, int64_t usec);
void advance_us(int64_t usec);
// Every kernel-log line goes to the sink; without one, lines are kept in memory for log_lines().
void set_log_sink(std::function<void(const std::string&)> sink);
std::vector<std::string> log_lines();
void clear_log();
// The n-th allocation from now fails (0 = the next one); -1 switches failures off.
void fail_alloc_at(int n);
// Extra pairs of mutex names that may nest (outer held while inner is taken).
void allow_nesting(const std::string& outer, const std::string& inner);
std::vector<std::string> lock_violations();
int live_mutexes();
// Called from delay_us after the clock moved; the simulation runs deferred work there.
void set_delay_hook(std::function<void()> hook);

// ---- control.
struct Record {
  uint32_t unit;
  std::vector<uint8_t> bytes;
};
void fail_ctl_register(bool on);
bool ctl_registered();
// A client connection attempt; on success *unit gets its unit.
errno_t ctl_connect(uint32_t* unit);
errno_t ctl_setopt(uint32_t unit, int opt, const void* data, size_t len);
errno_t ctl_getopt(uint32_t unit, int opt, void* data, size_t* len);
errno_t ctl_send(uint32_t unit, const void* data, size_t len);
void ctl_disconnect(uint32_t unit);
std::vector<Record> records();
void clear_records();
// While on, every enqueue fails with ENOBUFS.
void set_enqueue_full(bool on);

// ---- filters and sockets.
// Registration of the filter with this handle (or of the IPv4 filter) fails while on.
void fail_sflt_register(sflt_handle handle, bool on);
void fail_ipf_add(bool on);
std::vector<sflt_handle> registered_filters();
bool ipf_registered();
// Detach callbacks asked by sflt_detach run later: from delay_us, from run_deferred, or (threads
// mode) on a thread of the simulation.
void set_deferred_detach(bool on);
void run_deferred();
void set_threads_mode(bool on);

struct Socket;
// Creates a socket of a process; the registered filters of that kind are offered it in order.
Socket* socket_create(const std::string& procname, int type, int protocol);
// The socket as the filters see it.
socket_t handle(Socket* s);
// Handles of the filters still attached.
std::vector<sflt_handle> attached_filters(Socket* s);
void socket_bind(Socket* s, uint16_t local_port);
// connect(): connect out, local port chosen when none, connecting; then connected when
// established, else the connection fails (closing follows at close).
errno_t socket_connect(Socket* s, const sockaddr_in& to, bool established = true);
errno_t socket_listen(Socket* s);
// Data out (to = nullptr on a connected socket) and data in through the attached filters.
errno_t socket_send(Socket* s, const sockaddr_in* to, const std::vector<uint8_t>& data);
errno_t socket_receive(Socket* s, const sockaddr_in* from, const std::vector<uint8_t>& data);
void socket_set_tcp_info(Socket* s, uint32_t srtt_ms, uint32_t rtt_ms);
// closing, then detach of every filter still attached; the socket is freed.
void socket_close(Socket* s);

// ---- IPv4 path.
enum class Verdict { kContinued, kConsumed, kRejected };
struct IpResult {
  Verdict verdict;
  std::vector<uint8_t> bytes;  // the packet as it left the filter
  bool modified;
};
IpResult ip_output(const std::vector<uint8_t>& packet);
IpResult ip_input(const std::vector<uint8_t>& packet);
// Packets the filter injected into the input path.
std::vector<std::vector<uint8_t>> injected();
void clear_injected();

// ---- kernel UDP sockets.
struct Sent {
  sockaddr_in to;
  std::vector<uint8_t> bytes;
};
std::vector<Sent> kernel_sends();
void clear_kernel_sends();
int open_kernel_sockets();
// Failure of the next socket create, connect, non-blocking switch.
void fail_next_sock_socket(errno_t e);
void fail_next_sock_connect(errno_t e);
void fail_next_sock_nonblock(errno_t e);
// The next send fails with this error (EADDRNOTAVAIL for a lost local address).
void fail_next_sock_send(errno_t e);
// Queues a datagram on every open kernel socket connected to from, and runs their upcalls.
void deliver_datagram(const sockaddr_in& from, const std::vector<uint8_t>& bytes);

// Forgets everything (between tests). Registrations must be gone.
void reset();

}  // namespace platform::kern::sim
