// The services the traffic filter core calls, in place of a kernel's programming interfaces:
// control, socket filters, IPv4 filter, kernel UDP sockets, packet buffers, mutexes, atomics,
// time and log. Each group has its back ends (simulated, Linux), chosen when linking.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform::kern {

using errno_t = int;

// ---- atomics: switches and counters are plain int32 words changed only through these.
inline int32_t OSAddAtomic(int32_t amount, volatile int32_t* address) {
  return __atomic_fetch_add(address, amount, __ATOMIC_SEQ_CST);
}
inline bool OSCompareAndSwap(int32_t old_value, int32_t new_value, volatile int32_t* address) {
  return __atomic_compare_exchange_n(address, &old_value, new_value, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST);
}

// ---- base group: time, log, allocation, mutexes.
void microtime(struct timeval* tv);
// Pauses the calling thread; the simulation advances its clock and lets deferred work run.
void delay_us(uint32_t usec);
// Writes one kernel-log line (already prefixed and ended by the caller's format).
void kern_log_line(const char* line);
// Allocation that may fail (the simulation injects failures); never throws.
void* kalloc(size_t size);
void kfree(void* p);

struct lck_grp;
struct lck_mtx;
lck_grp* lck_grp_alloc(const char* name);
void lck_grp_free(lck_grp* grp);
// The name identifies the mutex for the lock-order checker.
lck_mtx* lck_mtx_alloc(lck_grp* grp, const char* name);
void lck_mtx_free(lck_mtx* mtx, lck_grp* grp);
void lck_mtx_lock(lck_mtx* mtx);
void lck_mtx_unlock(lck_mtx* mtx);

// ---- control group.
struct ctl_opaque;
using kern_ctl_ref = ctl_opaque*;

struct sockaddr_ctl {
  uint32_t sc_id;
  uint32_t sc_unit;
};

using ctl_connect_func = errno_t (*)(kern_ctl_ref ref, const sockaddr_ctl* sac, void** unitinfo);
using ctl_disconnect_func = errno_t (*)(kern_ctl_ref ref, uint32_t unit, void* unitinfo);
using ctl_send_func = errno_t (*)(kern_ctl_ref ref, uint32_t unit, void* unitinfo, const void* data,
                                  size_t len, int flags);
using ctl_setopt_func = errno_t (*)(kern_ctl_ref ref, uint32_t unit, void* unitinfo, int opt,
                                    const void* data, size_t len);
// On entry *len is the size of the caller's buffer (its bytes are the caller's input); on return
// the number of bytes handed back.
using ctl_getopt_func = errno_t (*)(kern_ctl_ref ref, uint32_t unit, void* unitinfo, int opt,
                                    void* data, size_t* len);

struct kern_ctl_reg {
  const char* ctl_name;
  uint32_t ctl_id;
  uint32_t ctl_unit;
  uint32_t ctl_flags;
  uint32_t ctl_sendsize;
  uint32_t ctl_recvsize;
  ctl_connect_func ctl_connect;
  ctl_disconnect_func ctl_disconnect;
  ctl_send_func ctl_send;
  ctl_setopt_func ctl_setopt;
  ctl_getopt_func ctl_getopt;
};

inline constexpr int CTL_DATA_EOR = 0x2;

errno_t ctl_register(const kern_ctl_reg* reg, kern_ctl_ref* ref);
// EBUSY while a client is attached; the control then stays registered.
errno_t ctl_deregister(kern_ctl_ref ref);
// ENOBUFS when the client's receive queue is full; the record is then lost.
errno_t ctl_enqueuedata(kern_ctl_ref ref, uint32_t unit, const void* data, size_t len, int flags);

// ---- packet buffers: one contiguous buffer per packet.
struct mbuf;
using mbuf_t = mbuf*;
// Without waiting; ENOMEM when none is available.
errno_t mbuf_allocpacket(size_t len, mbuf_t* out);
// Data that is counted, not read: a buffer of length `len` that holds no bytes (mbuf_data is
// null, its capacity 0). Handed only to callbacks that read the length alone.
errno_t mbuf_alloc_count(size_t len, mbuf_t* out);
void mbuf_freem(mbuf_t m);
uint8_t* mbuf_data(mbuf_t m);
size_t mbuf_len(mbuf_t m);
// Shrinks (or grows up to the buffer's capacity); EINVAL beyond it.
errno_t mbuf_setlen(mbuf_t m, size_t len);
size_t mbuf_capacity(mbuf_t m);
// Set by whoever rewrites the bytes, so that the back end hands the new payload on.
void mbuf_set_modified(mbuf_t m);
bool mbuf_modified(mbuf_t m);
// Clears the marks of checksums the stack would still compute.
void mbuf_clear_csum_flags(mbuf_t m);

// ---- socket filters.
struct socket_opaque;
using socket_t = socket_opaque*;
using sflt_handle = uint32_t;

enum sflt_event : int {
  sock_evt_connecting = 1,
  sock_evt_connected = 2,
  sock_evt_disconnecting = 3,
  sock_evt_disconnected = 4,
  sock_evt_flush_read = 5,
  sock_evt_shutdown = 6,
  sock_evt_cantrecvmore = 7,
  sock_evt_cantsendmore = 8,
  sock_evt_closing = 9,
  sock_evt_bound = 10,
};

inline constexpr int SFLT_GLOBAL = 0x01;

struct sflt_filter {
  sflt_handle sf_handle;
  int sf_flags;
  const char* sf_name;
  void (*sf_unregistered)(sflt_handle handle);
  errno_t (*sf_attach)(void** cookie, socket_t so);
  void (*sf_detach)(void* cookie, socket_t so);
  void (*sf_notify)(void* cookie, socket_t so, sflt_event event, void* param);
  errno_t (*sf_data_in)(void* cookie, socket_t so, const sockaddr_in* from, mbuf_t* data,
                        int flags);
  errno_t (*sf_data_out)(void* cookie, socket_t so, const sockaddr_in* to, mbuf_t* data, int flags);
  errno_t (*sf_connect_out)(void* cookie, socket_t so, const sockaddr_in* to);
  errno_t (*sf_listen)(void* cookie, socket_t so);
};

errno_t sflt_register(const sflt_filter* filter, int domain, int type, int protocol);
// Detaches the filter from every socket (running their detach callbacks), then runs
// sf_unregistered.
errno_t sflt_unregister(sflt_handle handle);
// The detach callback may run at once on this thread or later on another one.
errno_t sflt_detach(socket_t so, sflt_handle handle);

// Name of the process on whose behalf the current callback runs.
void proc_selfname(char* buf, int size);
errno_t sock_getsockname(socket_t so, sockaddr_in* out);

// Summary of a TCP connection, times in milliseconds.
struct tcp_conn_info {
  uint32_t srtt_ms;
  uint32_t rtt_ms;
};
errno_t sock_tcp_info(socket_t so, tcp_conn_info* out);

// ---- IPv4 filter.
struct ipfilter_opaque;
using ipfilter_t = ipfilter_opaque*;
// Answered by a filter that took the packet over (it is then the filter's to free).
inline constexpr errno_t EJUSTRETURN = -2;

struct ipf_filter {
  void* cookie;
  const char* name;
  errno_t (*ipf_input)(void* cookie, mbuf_t* data, int offset, uint8_t protocol);
  errno_t (*ipf_output)(void* cookie, mbuf_t* data);
  void (*ipf_detach)(void* cookie);
};

errno_t ipf_addv4(const ipf_filter* filter, ipfilter_t* ref);
errno_t ipf_remove(ipfilter_t ref);
// Hands a whole IPv4 packet to the input path; the buffer is consumed in all cases.
errno_t ipf_inject_input(mbuf_t data, ipfilter_t filter_ref);

// ---- kernel UDP sockets (server sockets of the data path).
using sock_upcall = void (*)(socket_t so, void* cookie, int waitf);

errno_t sock_socket(int domain, int type, int protocol, sock_upcall callback, void* cookie,
                    socket_t* out);
errno_t sock_connect(socket_t so, const sockaddr_in* to, int flags);
errno_t sock_nonblock(socket_t so, bool on);
// Sends one datagram; *sent gets the bytes accepted.
errno_t sock_send(socket_t so, const void* data, size_t len, size_t* sent);
// Sends one datagram made of `head` followed by `body`, neither copied first.
errno_t sock_send2(socket_t so, const void* head, size_t head_len, const void* body,
                   size_t body_len, size_t* sent);
// Reads one datagram into a new buffer; EWOULDBLOCK when none is waiting.
errno_t sock_receivembuf(socket_t so, mbuf_t* out);
void sock_close(socket_t so);

}  // namespace platform::kern
