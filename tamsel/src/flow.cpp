// Flow selection: the socket filters that watch the sockets of listed processes, the list of
// sockets they are attached to, and the intercept list of admitted flows.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

#include "tamsel_internal.h"

namespace tamsel {

volatile int32_t AVintercept = 0;
volatile int32_t AVintercept_tcp = 0;
volatile int32_t AVintercept_udp = 0;
volatile int32_t AVintercept_icmp = 0;
volatile int32_t AVintercept_dns = 0;
volatile int32_t AVreduce_tcp_mss = 0;
volatile int32_t global_socket_id = 0;

namespace {

constexpr k::sflt_handle kTcpHandle = 0x35500601;
constexpr k::sflt_handle kUdpHandle = 0x35500602;
constexpr k::sflt_handle kUdpIcmpHandle = 0x35500603;
constexpr k::sflt_handle kRawIcmpHandle = 0x35500604;

struct socket_cookie {
  uint32_t socket_id;
  char procname[24];
  abi::ippacket_desc_s desc;
  int32_t admitted;
  struct timeval start;
};

struct UndetachedSo {
  k::socket_t so;
  k::sflt_handle handle;
};

std::list<UndetachedSo> undetached_so_list;  // newest first
std::list<abi::ippacket_desc_s> intercept_ippacket_list;

// Callbacks of unregistered filters and the IPv4 filter's detach still to come.
std::atomic<int32_t> filters_pending_unregister{0};
k::ipfilter_t ipfilter_ref = nullptr;
std::vector<k::sflt_handle> registered_handles;

void undetached_so_add(k::socket_t so, k::sflt_handle h) {
  MutexHold hold(lock_mutext_undetached_so_list);
  undetached_so_list.push_front({so, h});
}

void undetached_so_del(k::socket_t so, k::sflt_handle h) {
  MutexHold hold(lock_mutext_undetached_so_list);
  for (auto it = undetached_so_list.begin(); it != undetached_so_list.end(); ++it) {
    if (it->so == so && it->handle == h) {
      undetached_so_list.erase(it);
      return;
    }
  }
}

void sf_unregistered(k::sflt_handle) { filters_pending_unregister.fetch_sub(1); }

errno_t attach_common(void** cookie, k::socket_t so, volatile int32_t* proto_switch,
                      uint16_t protocol, k::sflt_handle handle, errno_t decline) {
  if (!switch_is_on(&AVintercept) || !switch_is_on(proto_switch)) return decline;
  char name[32];
  k::proc_selfname(name, sizeof name);
  if (!enabled_procname_exist(name)) return decline;
  auto* c = static_cast<socket_cookie*>(k::kalloc(sizeof(socket_cookie)));
  if (!c) return decline;
  copy_text(c->procname, sizeof c->procname, name, sizeof name);
  copy_text(c->desc.procname, sizeof c->desc.procname, name, sizeof name);
  c->desc.protocol = protocol;
  c->desc.offset = 255;
  c->socket_id = static_cast<uint32_t>(k::OSAddAtomic(1, &global_socket_id));
  k::microtime(&c->start);
  undetached_so_add(so, handle);
  *cookie = c;
  return 0;
}

void detach_common(void* cookie, k::socket_t so, k::sflt_handle handle) {
  undetached_so_del(so, handle);
  k::kfree(cookie);
}

errno_t tcp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_tcp, IPPROTO_TCP, kTcpHandle, 103);
}
void tcp_detach(void* cookie, k::socket_t so) { detach_common(cookie, so, kTcpHandle); }
errno_t tcp_listen(void*, k::socket_t so) {
  // Listening sockets are never intercepted.
  k::sflt_detach(so, kTcpHandle);
  return 0;
}

errno_t udp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_udp, IPPROTO_UDP, kUdpHandle, 103);
}
void udp_detach(void* cookie, k::socket_t so) { detach_common(cookie, so, kUdpHandle); }

errno_t udp_icmp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_icmp, IPPROTO_ICMP, kUdpIcmpHandle, -1);
}
void udp_icmp_detach(void* cookie, k::socket_t so) { detach_common(cookie, so, kUdpIcmpHandle); }

errno_t raw_icmp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_icmp, IPPROTO_ICMP, kRawIcmpHandle, -1);
}
void raw_icmp_detach(void* cookie, k::socket_t so) { detach_common(cookie, so, kRawIcmpHandle); }

errno_t ip_output_func(void*, k::mbuf_t*) { return 0; }
errno_t ip_input_func(void*, k::mbuf_t*, int, uint8_t) { return 0; }
void ip_detach_func(void*) { filters_pending_unregister.fetch_sub(1); }

struct FilterSpec {
  k::sflt_filter f;
  int type;
  int protocol;
  const char* error_line;
};

}  // namespace

errno_t register_socket_filters() {
  const FilterSpec specs[] = {
      {{kTcpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, tcp_attach, tcp_detach,
        nullptr, nullptr, nullptr, nullptr, tcp_listen},
       SOCK_STREAM, IPPROTO_TCP, "sflt_register tcp  error\n"},
      {{kUdpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, udp_attach, udp_detach,
        nullptr, nullptr, nullptr, nullptr, nullptr},
       SOCK_DGRAM, IPPROTO_UDP, "sflt_register udp error\n"},
      {{kUdpIcmpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, udp_icmp_attach,
        udp_icmp_detach, nullptr, nullptr, nullptr, nullptr, nullptr},
       SOCK_DGRAM, IPPROTO_ICMP, "sflt_register udp_icmp error"},
      {{kRawIcmpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, raw_icmp_attach,
        raw_icmp_detach, nullptr, nullptr, nullptr, nullptr, nullptr},
       SOCK_RAW, IPPROTO_ICMP, "sflt_register raw_icmp error"},
  };
  registered_handles.clear();
  for (const auto& s : specs) {
    errno_t r = k::sflt_register(&s.f, PF_INET, s.type, s.protocol);
    if (r != 0) {
      unregister_socket_filters();
      klog("%s", s.error_line);
      return r;
    }
    registered_handles.push_back(s.f.sf_handle);
  }
  k::ipf_filter ipf{nullptr, abi::kControlName, ip_input_func, ip_output_func, ip_detach_func};
  errno_t r = k::ipf_addv4(&ipf, &ipfilter_ref);
  if (r != 0) {
    ipfilter_ref = nullptr;
    unregister_socket_filters();
    klog("ipf_addr4 error");
    return r;
  }
  return 0;
}

void unregister_socket_filters() {
  static const char* const kErrors[] = {"sflt_unregister tcp error", "sflt_unregister udp error",
                                        "sflt_unregister udp_icmp error",
                                        "sflt_unregister raw_icmp error"};
  for (k::sflt_handle h : registered_handles) {
    filters_pending_unregister.fetch_add(1);
    if (k::sflt_unregister(h) != 0) {
      filters_pending_unregister.fetch_sub(1);
      klog("%s", kErrors[(h - kTcpHandle) & 3]);
    }
  }
  registered_handles.clear();
  if (ipfilter_ref) {
    filters_pending_unregister.fetch_add(1);
    if (k::ipf_remove(ipfilter_ref) != 0) {
      filters_pending_unregister.fetch_sub(1);
      klog("ipf_remove error\n");
    }
    ipfilter_ref = nullptr;
  }
}

bool wait_filters_unregistered() {
  for (int rounds = 1; filters_pending_unregister.load() > 0; ++rounds) {
    k::delay_us(1000);
    if (rounds % 1000 == 0)
      klog("stop: waiting for %d filter callbacks", filters_pending_unregister.load());
  }
  return true;
}

void undetached_so_detach_all() {
  // The detach callbacks take this list's mutex, and may run at once on this thread: the
  // records are copied out and the mutex released before asking for any detach.
  for (int rounds = 1;; ++rounds) {
    std::vector<UndetachedSo> batch;
    {
      MutexHold hold(lock_mutext_undetached_so_list);
      batch.assign(undetached_so_list.begin(), undetached_so_list.end());
    }
    if (batch.empty()) return;
    for (const auto& r : batch) k::sflt_detach(r.so, r.handle);
    {
      MutexHold hold(lock_mutext_undetached_so_list);
      if (undetached_so_list.empty()) return;
    }
    k::delay_us(1000);
    if (rounds % 1000 == 0) klog("reset: waiting for %zu socket detaches", batch.size());
  }
}

void intercept_ippacket_clear() {
  MutexHold hold(lock_mutext_intercept_ippacket);
  intercept_ippacket_list.clear();
}

size_t undetached_so_count() {
  MutexHold hold(lock_mutext_undetached_so_list);
  return undetached_so_list.size();
}

size_t intercept_ippacket_count() {
  MutexHold hold(lock_mutext_intercept_ippacket);
  return intercept_ippacket_list.size();
}

}  // namespace tamsel
