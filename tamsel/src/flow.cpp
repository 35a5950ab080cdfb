// Flow selection: the socket filters that watch the sockets of listed processes, the list of
// sockets they are attached to, and the intercept list of admitted flows.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

#include "packet.h"
#include "rules.h"
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

struct udp_flow_entry {
  udp_flow_entry* next;
  abi::ippacket_desc_s desc;
};

struct socket_cookie {
  uint32_t socket_id;
  char procname[24];
  udp_flow_entry* flows;      // UDP: newest first
  abi::ippacket_desc_s desc;  // TCP and ICMP
  int32_t admitted;
  char remote_text[16];
  int32_t remote_port;
  struct timeval start;
  struct timeval last_report;
  uint64_t bytes_sent;
  uint64_t bytes_recv;
  uint32_t flags;  // bit 0 TCP connected, bit 1 UDP connected
};

struct UndetachedSo {
  k::socket_t so;
  k::sflt_handle handle;
};

std::list<UndetachedSo> undetached_so_list;               // newest first
std::list<abi::ippacket_desc_s> intercept_ippacket_list;  // newest first

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

void ip_text(uint32_t ip_net, char* out, size_t size) {
  const auto* b = reinterpret_cast<const uint8_t*>(&ip_net);
  std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

uint16_t port_host(uint16_t net) { return static_cast<uint16_t>((net >> 8) | (net << 8)); }

bool same_flow(const abi::ippacket_desc_s& a, const abi::ippacket_desc_s& b) {
  return a.ip == b.ip && a.remote_port == b.remote_port && a.protocol == b.protocol &&
         a.local_port == b.local_port;
}

errno_t attach_common(void** cookie, k::socket_t so, volatile int32_t* proto_switch,
                      uint16_t protocol, k::sflt_handle handle, errno_t decline) {
  if (!switch_is_on(&AVintercept) || !switch_is_on(proto_switch)) return decline;
  char name[32];
  k::proc_selfname(name, sizeof name);
  name[sizeof name - 1] = 0;
  if (!enabled_procname_exist(name)) return decline;
  auto* c = static_cast<socket_cookie*>(k::kalloc(sizeof(socket_cookie)));
  if (!c) return decline;
  copy_text(c->procname, sizeof c->procname, name, sizeof name);
  copy_text(c->desc.procname, sizeof c->desc.procname, name, sizeof name);
  c->desc.protocol = protocol;
  c->desc.offset = 255;
  c->socket_id = static_cast<uint32_t>(k::OSAddAtomic(1, &global_socket_id));
  k::microtime(&c->start);
  c->last_report = c->start;
  if (protocol == IPPROTO_UDP) {
    c->flows = static_cast<udp_flow_entry*>(k::kalloc(sizeof(udp_flow_entry)));
    if (!c->flows) {
      k::kfree(c);
      return decline;
    }
    copy_text(c->flows->desc.procname, sizeof c->flows->desc.procname, name, sizeof name);
    c->flows->desc.protocol = IPPROTO_UDP;
    c->flows->desc.offset = 255;
  }
  undetached_so_add(so, handle);
  *cookie = c;
  return 0;
}

// ---- TCP

void tcp_report(socket_cookie* c, k::socket_t so, const char* what) {
  k::tcp_conn_info info{};
  k::sock_tcp_info(so, &info);
  char elapsed[32];
  format_elapsed(c->start, elapsed, sizeof elapsed);
  if (std::strcmp(what, "closed") == 0)
    kctl_send2usr(abi::K2U_LOG,
                  "%s: TCP[%d] %s:%d closed (elapsed %s)(send %lld recv %lld)(RTT: avg %u last %u)",
                  c->procname, c->socket_id, c->remote_text, c->remote_port, elapsed,
                  static_cast<long long>(c->bytes_sent), static_cast<long long>(c->bytes_recv),
                  info.srtt_ms, info.rtt_ms);
  else
    kctl_send2usr(abi::K2U_LOG,
                  "%s: TCP[%d] %s:%d (elapsed %s)(send %lld recv %lld)(RTT: avg %u last %u)",
                  c->procname, c->socket_id, c->remote_text, c->remote_port, elapsed,
                  static_cast<long long>(c->bytes_sent), static_cast<long long>(c->bytes_recv),
                  info.srtt_ms, info.rtt_ms);
  k::microtime(&c->last_report);
}

errno_t tcp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_tcp, IPPROTO_TCP, kTcpHandle, 103);
}

void tcp_detach(void* cookie, k::socket_t so) {
  auto* c = static_cast<socket_cookie*>(cookie);
  undetached_so_del(so, kTcpHandle);
  if (c->admitted) intercept_ippacket_del(&c->desc);
  k::kfree(c);
}

errno_t tcp_connect_out(void* cookie, k::socket_t so, const sockaddr_in* to) {
  auto* c = static_cast<socket_cookie*>(cookie);
  if (is_private_or_loopback(to->sin_addr.s_addr)) {
    k::sflt_detach(so, kTcpHandle);
    return 0;
  }
  c->desc.ip = to->sin_addr.s_addr;
  c->desc.remote_port = to->sin_port;
  return 0;
}

void tcp_notify(void* cookie, k::socket_t so, k::sflt_event event, void*) {
  auto* c = static_cast<socket_cookie*>(cookie);
  switch (event) {
    case k::sock_evt_connecting: {
      sockaddr_in local{};
      k::sock_getsockname(so, &local);
      c->desc.local_port = local.sin_port;
      c->admitted += intercept_ippacket_add(&c->desc);
      if (c->admitted == 0) k::sflt_detach(so, kTcpHandle);
      k::microtime(&c->start);
      break;
    }
    case k::sock_evt_connected: {
      if (!c->admitted) break;
      k::tcp_conn_info info{};
      k::sock_tcp_info(so, &info);
      ip_text(c->desc.ip, c->remote_text, sizeof c->remote_text);
      c->remote_port = port_host(c->desc.remote_port);
      char elapsed[32];
      format_elapsed(c->start, elapsed, sizeof elapsed);
      kctl_send2usr(abi::K2U_LOG, "%s: TCP[%d] %s:%d connect ok (elapsed %s) (RTT: avg %u last %u)",
                    c->procname, c->socket_id, c->remote_text, c->remote_port, elapsed,
                    info.srtt_ms, info.rtt_ms);
      c->flags |= 1;
      k::microtime(&c->last_report);
      break;
    }
    case k::sock_evt_closing: {
      if (!c->admitted) break;
      if (c->flags & 1) {
        tcp_report(c, so, "closed");
      } else {
        char text[16];
        ip_text(c->desc.ip, text, sizeof text);
        char elapsed[32];
        format_elapsed(c->start, elapsed, sizeof elapsed);
        kctl_send2usr(abi::K2U_LOG, "%s: TCP[%d] %s:%d connect error (elapsed %s)", c->procname,
                      c->socket_id, text, port_host(c->desc.remote_port), elapsed);
      }
      break;
    }
    default:
      break;
  }
}

void tcp_progress(socket_cookie* c, k::socket_t so) {
  int32_t interval = tcp_rtt_report_interval.load();
  if (!c->admitted || interval <= 0) return;
  struct timeval now;
  k::microtime(&now);
  if (now.tv_sec - c->last_report.tv_sec >= interval) tcp_report(c, so, "progress");
}

errno_t tcp_data_in(void* cookie, k::socket_t so, const sockaddr_in*, k::mbuf_t* data, int) {
  auto* c = static_cast<socket_cookie*>(cookie);
  c->bytes_recv += k::mbuf_len(*data);
  tcp_progress(c, so);
  return 0;
}

errno_t tcp_data_out(void* cookie, k::socket_t so, const sockaddr_in*, k::mbuf_t* data, int) {
  auto* c = static_cast<socket_cookie*>(cookie);
  c->bytes_sent += k::mbuf_len(*data);
  tcp_progress(c, so);
  return 0;
}

errno_t tcp_listen(void*, k::socket_t so) {
  // Listening sockets are never intercepted.
  k::sflt_detach(so, kTcpHandle);
  return 0;
}

// ---- UDP

void udp_admit(socket_cookie* c, udp_flow_entry* e) {
  if (!intercept_ippacket_add(&e->desc)) return;
  ++c->admitted;
  char text[16];
  ip_text(e->desc.ip, text, sizeof text);
  kctl_send2usr(abi::K2U_LOG, "%s: UDP[%d] sendto %s:%d", c->procname, c->socket_id, text,
                port_host(e->desc.remote_port));
}

bool udp_not_for_us(const sockaddr_in* to) {
  return is_private_or_loopback(to->sin_addr.s_addr) || port_host(to->sin_port) == 53;
}

errno_t udp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_udp, IPPROTO_UDP, kUdpHandle, 103);
}

void udp_detach(void* cookie, k::socket_t so) {
  auto* c = static_cast<socket_cookie*>(cookie);
  undetached_so_del(so, kUdpHandle);
  if (c->admitted) {
    for (auto* e = c->flows; e; e = e->next) intercept_ippacket_del(&e->desc);
    char elapsed[32];
    format_elapsed(c->start, elapsed, sizeof elapsed);
    kctl_send2usr(abi::K2U_LOG, "%s: UDP[%d] closed (elapsed %s)(send %lld recv %lld)", c->procname,
                  c->socket_id, elapsed, static_cast<long long>(c->bytes_sent),
                  static_cast<long long>(c->bytes_recv));
  }
  for (auto* e = c->flows; e;) {
    auto* next = e->next;
    k::kfree(e);
    e = next;
  }
  k::kfree(c);
}

errno_t udp_connect_out(void* cookie, k::socket_t so, const sockaddr_in* to) {
  auto* c = static_cast<socket_cookie*>(cookie);
  if (udp_not_for_us(to)) {
    k::sflt_detach(so, kUdpHandle);
    return 0;
  }
  c->flows->desc.ip = to->sin_addr.s_addr;
  c->flows->desc.remote_port = to->sin_port;
  c->flags |= 2;
  return 0;
}

void udp_notify(void* cookie, k::socket_t so, k::sflt_event event, void*) {
  auto* c = static_cast<socket_cookie*>(cookie);
  if (event != k::sock_evt_bound) return;
  sockaddr_in local{};
  k::sock_getsockname(so, &local);
  udp_flow_entry* head = c->flows;
  head->desc.local_port = local.sin_port;
  if (head->desc.ip && head->desc.remote_port) udp_admit(c, head);
}

errno_t udp_data_out(void* cookie, k::socket_t, const sockaddr_in* to, k::mbuf_t* data, int) {
  auto* c = static_cast<socket_cookie*>(cookie);
  if (to) {
    if (udp_not_for_us(to)) return 0;
    udp_flow_entry* head = c->flows;
    if (head->desc.local_port) {
      udp_flow_entry* found = nullptr;
      for (auto* e = c->flows; e && !found; e = e->next)
        if (e->desc.ip == to->sin_addr.s_addr && e->desc.remote_port == to->sin_port) found = e;
      if (!found) {
        auto* e = static_cast<udp_flow_entry*>(k::kalloc(sizeof(udp_flow_entry)));
        if (e) {
          copy_text(e->desc.procname, sizeof e->desc.procname, c->procname, sizeof c->procname);
          e->desc.ip = to->sin_addr.s_addr;
          e->desc.remote_port = to->sin_port;
          e->desc.local_port = head->desc.local_port;
          e->desc.protocol = IPPROTO_UDP;
          e->desc.offset = 255;
          e->next = c->flows;
          c->flows = e;
          udp_admit(c, e);
        }
      }
    } else {
      head->desc.ip = to->sin_addr.s_addr;
      head->desc.remote_port = to->sin_port;
    }
  }
  c->bytes_sent += k::mbuf_len(*data);
  return 0;
}

errno_t udp_data_in(void* cookie, k::socket_t, const sockaddr_in*, k::mbuf_t* data, int) {
  static_cast<socket_cookie*>(cookie)->bytes_recv += k::mbuf_len(*data);
  return 0;
}

// ---- ICMP (datagram and raw share the callbacks)

errno_t icmp_data_out(void* cookie, k::socket_t, const sockaddr_in* to, k::mbuf_t* data, int) {
  auto* c = static_cast<socket_cookie*>(cookie);
  if (!data || !*data || !to || is_private_or_loopback(to->sin_addr.s_addr) || c->desc.ip) return 0;
  // The echo identifier lies in the first 8 bytes; nothing further is read.
  if (k::mbuf_len(*data) < 8) return 0;
  c->desc.ip = to->sin_addr.s_addr;
  std::memcpy(&c->desc.local_port, k::mbuf_data(*data) + 4, 2);
  c->admitted += intercept_ippacket_add(&c->desc);
  return 0;
}

errno_t udp_icmp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_icmp, IPPROTO_ICMP, kUdpIcmpHandle, -1);
}
errno_t raw_icmp_attach(void** cookie, k::socket_t so) {
  return attach_common(cookie, so, &AVintercept_icmp, IPPROTO_ICMP, kRawIcmpHandle, -1);
}

void icmp_detach_common(void* cookie, k::socket_t so, k::sflt_handle h) {
  auto* c = static_cast<socket_cookie*>(cookie);
  undetached_so_del(so, h);
  if (c->admitted) intercept_ippacket_del(&c->desc);
  k::kfree(c);
}
void udp_icmp_detach(void* cookie, k::socket_t so) {
  icmp_detach_common(cookie, so, kUdpIcmpHandle);
}
void raw_icmp_detach(void* cookie, k::socket_t so) {
  icmp_detach_common(cookie, so, kRawIcmpHandle);
}

// ---- IPv4 filter

// The flow of an outgoing packet; false when it can't be read or is of no interest.
bool descriptor_of_output(const uint8_t* p, size_t n, abi::ippacket_desc_s* d) {
  if (n < 20) return false;
  size_t hl = static_cast<size_t>(p[0] & 0x0f) * 4;
  if ((p[0] >> 4) != 4 || hl < 20 || hl > n) return false;
  uint8_t proto = p[9];
  std::memset(d, 0, sizeof *d);
  d->offset = 255;
  std::memcpy(&d->ip, p + 16, 4);
  d->protocol = proto;
  if (proto == IPPROTO_TCP || proto == IPPROTO_UDP) {
    if (n < hl + 4) return false;
    std::memcpy(&d->local_port, p + hl, 2);
    std::memcpy(&d->remote_port, p + hl + 2, 2);
  } else if (proto == IPPROTO_ICMP) {
    if (n < hl + 6 || p[hl] != 8) return false;
    std::memcpy(&d->local_port, p + hl + 4, 2);
  } else {
    return false;
  }
  uint32_t total = static_cast<uint32_t>(p[2] << 8 | p[3]);
  if (total > 60000) total = total > hl ? static_cast<uint32_t>(total - hl) : 0;
  d->length = static_cast<uint16_t>(total);
  return true;
}

errno_t ip_output_func(void*, k::mbuf_t* data) {
  if (!switch_is_on(&AVintercept)) return 0;
  k::mbuf_t m = *data;
  abi::ippacket_desc_s d;
  if (!descriptor_of_output(k::mbuf_data(m), k::mbuf_len(m), &d)) return 0;
  bool dns = d.protocol == IPPROTO_UDP && port_host(d.remote_port) == 53;
  const auto* dst = reinterpret_cast<const uint8_t*>(&d.ip);
  if (dns) {
    // Local stub resolvers answer on the machine itself: never redirected.
    if (!switch_is_on(&AVintercept_dns) || dst[0] == 127) return 0;
    if (!out_dns_processed(m, &d)) return 0;
  } else {
    if (is_private_or_loopback(d.ip)) return 0;
    volatile int32_t* sw = d.protocol == IPPROTO_TCP   ? &AVintercept_tcp
                           : d.protocol == IPPROTO_UDP ? &AVintercept_udp
                                                       : &AVintercept_icmp;
    if (!switch_is_on(sw)) return 0;
    if (!intercept_ippacket_exist(&d, &d.offset, &d.level, d.procname, d.text)) return 0;
  }
  reduce_tcp_mss(k::mbuf_data(m), k::mbuf_len(m));
  update_ip_cksum(k::mbuf_data(m), k::mbuf_len(m));
  send_original_ip_packet(k::mbuf_data(m), k::mbuf_len(m), d);
  k::mbuf_freem(m);
  *data = nullptr;
  return k::EJUSTRETURN;
}

errno_t ip_input_func(void*, k::mbuf_t* data, int, uint8_t) {
  if (switch_is_on(&AVintercept) && data && *data) in_dns_packet_process(*data);
  return 0;
}

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
        tcp_notify, tcp_data_in, tcp_data_out, tcp_connect_out, tcp_listen},
       SOCK_STREAM,
       IPPROTO_TCP,
       "sflt_register tcp  error\n"},
      {{kUdpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, udp_attach, udp_detach,
        udp_notify, udp_data_in, udp_data_out, udp_connect_out, nullptr},
       SOCK_DGRAM,
       IPPROTO_UDP,
       "sflt_register udp error\n"},
      {{kUdpIcmpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, udp_icmp_attach,
        udp_icmp_detach, nullptr, nullptr, icmp_data_out, nullptr, nullptr},
       SOCK_DGRAM,
       IPPROTO_ICMP,
       "sflt_register udp_icmp error"},
      {{kRawIcmpHandle, k::SFLT_GLOBAL, abi::kControlName, sf_unregistered, raw_icmp_attach,
        raw_icmp_detach, nullptr, nullptr, icmp_data_out, nullptr, nullptr},
       SOCK_RAW,
       IPPROTO_ICMP,
       "sflt_register raw_icmp error"},
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

void format_elapsed(const struct timeval& start, char* out, size_t size) {
  struct timeval now;
  k::microtime(&now);
  long sec = static_cast<long>(now.tv_sec - start.tv_sec);
  long usec = static_cast<long>(now.tv_usec - start.tv_usec);
  if (usec < 0) {  // borrow a second
    usec += 1000000;
    --sec;
  }
  std::snprintf(out, size, "%ld.%06ld", sec, usec);
}

int intercept_ippacket_add(abi::ippacket_desc_s* d) {
  char ip[16];
  ip_text(d->ip, ip, sizeof ip);
  char what[128];
  if (d->protocol == IPPROTO_ICMP)
    std::snprintf(what, sizeof what, "%s %s (%s:%d)", protocol_string(d->protocol), ip, d->procname,
                  d->local_port);
  else
    std::snprintf(what, sizeof what, "%s %s:%d %d (%s)", protocol_string(d->protocol), ip,
                  port_host(d->remote_port), port_host(d->local_port), d->procname);
  bool reject = d->ip == 0 || is_private_or_loopback(d->ip);
  if (d->protocol == IPPROTO_ICMP)
    reject = reject || d->local_port == 0;
  else
    reject = reject || d->remote_port == 0 || d->local_port == 0;
  uint8_t offset = 255, level = 0;
  char text[64] = "";
  if (!reject && intercept_ippacket_match_black_list(d)) reject = true;
  if (!reject && !intercept_ippacket_match_white_list(d, &offset, &level, text)) reject = true;
  if (reject) {
    klog("IP +reject [%s]", what);
    return 0;
  }
  abi::ippacket_desc_s e = *d;
  e.offset = offset;
  e.level = level;
  copy_text(e.text, sizeof e.text, text, sizeof text);
  MutexHold hold(lock_mutext_intercept_ippacket);
  for (auto& x : intercept_ippacket_list)
    if (same_flow(x, e)) return 1;
  intercept_ippacket_list.push_front(e);
  return 1;
}

int intercept_ippacket_exist(const abi::ippacket_desc_s* d, uint8_t* offset, uint8_t* level,
                             char* procname, char* text) {
  if (offset) *offset = 255;
  if (level) *level = 255;
  MutexHold hold(lock_mutext_intercept_ippacket);
  for (auto& x : intercept_ippacket_list) {
    if (!same_flow(x, *d)) continue;
    if (offset && level && procname && text) {
      *offset = x.offset;
      *level = x.level;
      copy_text(procname, 24, x.procname, sizeof x.procname);
      copy_text(text, 64, x.text, sizeof x.text);
    }
    return 1;
  }
  return 0;
}

void intercept_ippacket_del(const abi::ippacket_desc_s* d) {
  if (d->ip == 0 || is_private_or_loopback(d->ip)) return;
  if (d->protocol != IPPROTO_ICMP && (d->remote_port == 0 || d->local_port == 0)) return;
  MutexHold hold(lock_mutext_intercept_ippacket);
  for (auto it = intercept_ippacket_list.begin(); it != intercept_ippacket_list.end(); ++it) {
    if (same_flow(*it, *d)) {
      intercept_ippacket_list.erase(it);
      return;
    }
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
