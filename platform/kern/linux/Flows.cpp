#include "Flows.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Owners.h"
#include "SocketOpaque.h"
#include "platform/kern/kern.h"

namespace platform::kern {

namespace {

struct Registered {
  sflt_filter f;
  int type;
  int protocol;
};

constexpr size_t kMaxDeclined = 65536;

// One lock for the filter table and the socket table: a socket is either entered before a filter
// leaves (and is then detached by it) or finds no filter.
std::mutex g_m;
std::vector<Registered> g_filters;
std::unordered_map<uint64_t, socket_opaque*> g_by_cookie;  // null: declined
std::vector<socket_opaque*> g_objects;                     // every socket ever attached
thread_local std::string t_procname;

bool filter_for(int type, int protocol, sflt_filter* out) {
  for (const auto& r : g_filters)
    if (r.type == type && r.protocol == protocol) {
      *out = r.f;
      return true;
    }
  return false;
}

// Callbacks mutex held by the caller.
void run_detach(socket_opaque* so) {
  if (!so->attached) return;
  so->attached = false;
  if (so->filter.sf_detach) so->filter.sf_detach(so->filter_cookie, so);
}

// Runs `fn` as this socket's callbacks (their mutex held by `hold`), then a detach asked inside.
template <typename Fn>
void as_callbacks(socket_opaque* so, Fn fn) {
  so->in_callbacks.store(std::this_thread::get_id());
  fn();
  so->in_callbacks.store(std::thread::id{});
  if (so->detach_pending) {
    so->detach_pending = false;
    run_detach(so);
  }
}

bool still_attached(socket_opaque* so) { return so->attached && !so->detach_pending; }

// Hands a copy of `bytes` to data out or data in; the filter may keep the buffer.
void hand_data(socket_opaque* so, const sockaddr_in* addr, const uint8_t* bytes, size_t len,
               bool out) {
  auto cb = out ? so->filter.sf_data_out : so->filter.sf_data_in;
  if (!cb || !still_attached(so)) return;
  mbuf_t m = nullptr;
  if (mbuf_allocpacket(len, &m) != 0) return;
  if (len) std::memcpy(mbuf_data(m), bytes, len);
  if (cb(so->filter_cookie, so, addr, &m, 0) != EJUSTRETURN) mbuf_freem(m);
}

struct Parsed {
  linux_backend::FlowKey key{};
  const uint8_t* l4 = nullptr;
  size_t l4_len = 0;
  bool syn = false;
};

bool parse(const uint8_t* p, size_t n, Parsed* out) {
  if (n < 20 || (p[0] >> 4) != 4) return false;
  size_t hl = (p[0] & 0x0f) * 4u;
  size_t total = (static_cast<size_t>(p[2]) << 8) | p[3];
  if (hl < 20 || total < hl || total > n) return false;
  if (((p[6] & 0x1f) << 8 | p[7]) != 0) return false;  // later fragments carry no ports
  out->l4 = p + hl;
  out->l4_len = total - hl;
  auto& k = out->key;
  k.protocol = p[9];
  std::memcpy(&k.local_addr, p + 12, 4);
  std::memcpy(&k.remote_addr, p + 16, 4);
  const uint8_t* l4 = out->l4;
  switch (k.protocol) {
    case IPPROTO_TCP:
      if (out->l4_len < 20) return false;
      out->syn = (l4[13] & 0x02) && !(l4[13] & 0x10);
      [[fallthrough]];
    case IPPROTO_UDP:
      if (out->l4_len < 8) return false;
      k.local_port = static_cast<uint16_t>(l4[0] << 8 | l4[1]);
      k.remote_port = static_cast<uint16_t>(l4[2] << 8 | l4[3]);
      return true;
    case IPPROTO_ICMP:
      if (out->l4_len < 8 || l4[0] != 8) return false;  // echo requests only
      k.local_port = static_cast<uint16_t>(l4[4] << 8 | l4[5]);
      return true;
    default:
      return false;
  }
}

int type_of(uint8_t protocol) { return protocol == IPPROTO_TCP ? SOCK_STREAM : SOCK_DGRAM; }

}  // namespace

namespace linux_backend {

void flows_on_output(const uint8_t* packet, size_t len) {
  Parsed p;
  if (!parse(packet, len, &p)) return;
  {
    std::lock_guard g(g_m);
    if (g_filters.empty()) return;
  }
  SocketIdentity id;
  bool found = p.key.protocol == IPPROTO_ICMP ? find_ping_socket(p.key.local_port, &id)
                                              : find_socket(p.key, &id);
  if (!found) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = p.key.remote_addr;
  to.sin_port = htons(p.key.remote_port);
  const uint8_t* payload = p.key.protocol == IPPROTO_UDP ? p.l4 + 8 : p.l4;
  size_t payload_len = p.key.protocol == IPPROTO_UDP ? p.l4_len - 8 : p.l4_len;

  std::unique_lock g(g_m);
  auto it = g_by_cookie.find(id.cookie);
  if (it != g_by_cookie.end()) {
    socket_opaque* so = it->second;
    if (!so || p.key.protocol != IPPROTO_UDP) return;
    // A known UDP socket: every datagram is data out (new destinations become new flows).
    std::unique_lock hold(so->callbacks);
    g.unlock();
    as_callbacks(so, [&] { hand_data(so, &to, payload, payload_len, true); });
    return;
  }
  sflt_filter f{};
  if (!filter_for(type_of(p.key.protocol), p.key.protocol, &f)) return;
  if (p.key.protocol == IPPROTO_TCP && !p.syn) {
    // Opened before the filter looked: it stays outside.
    if (g_by_cookie.size() >= kMaxDeclined)
      std::erase_if(g_by_cookie, [](auto& e) { return e.second == nullptr; });
    g_by_cookie[id.cookie] = nullptr;
    return;
  }
  g.unlock();
  // The owner, without the lock: /proc walks are slow. A process gone meanwhile is a miss.
  pid_t pid = find_owner(id.inode);
  if (!pid) return;
  std::string name = process_name(pid);
  if (name.empty()) return;

  auto* so = new socket_opaque;
  so->filtered = true;
  so->protocol = p.key.protocol;
  so->local.sin_family = AF_INET;
  so->local.sin_addr.s_addr = p.key.local_addr;
  so->local.sin_port = htons(p.key.local_port);
  so->remote.sin_family = AF_INET;
  so->remote.sin_addr.s_addr = p.key.remote_addr;
  so->remote.sin_port = htons(p.key.remote_port);
  g.lock();
  if (!filter_for(type_of(p.key.protocol), p.key.protocol, &so->filter) ||
      g_by_cookie.count(id.cookie)) {
    delete so;
    return;
  }
  std::unique_lock hold(so->callbacks);
  g_objects.push_back(so);
  g_by_cookie[id.cookie] = so;
  g.unlock();
  t_procname = name;
  as_callbacks(so, [&] {
    void* cookie = nullptr;
    if (!so->filter.sf_attach || so->filter.sf_attach(&cookie, so) != 0) return;
    so->attached = true;
    so->filter_cookie = cookie;
    const sflt_filter& cb = so->filter;
    switch (so->protocol) {
      case IPPROTO_TCP:
        if (cb.sf_connect_out) cb.sf_connect_out(cookie, so, &to);
        if (still_attached(so) && cb.sf_notify)
          cb.sf_notify(cookie, so, sock_evt_connecting, nullptr);
        break;
      case IPPROTO_UDP:
        if (id.connected && cb.sf_connect_out) cb.sf_connect_out(cookie, so, &to);
        if (still_attached(so) && cb.sf_notify) cb.sf_notify(cookie, so, sock_evt_bound, nullptr);
        hand_data(so, &to, payload, payload_len, true);
        break;
      default:
        hand_data(so, &to, payload, payload_len, true);
        break;
    }
  });
  t_procname.clear();
}

void flows_on_injected(const uint8_t* packet, size_t len) {
  Parsed p;
  if (!parse(packet, len, &p) || p.key.protocol != IPPROTO_UDP) return;
  // Inbound: the destination is ours.
  FlowKey key{IPPROTO_UDP, p.key.remote_addr, p.key.remote_port, p.key.local_addr,
              p.key.local_port};
  SocketIdentity id;
  if (!find_socket(key, &id)) return;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = p.key.local_addr;
  from.sin_port = htons(p.key.local_port);
  std::unique_lock g(g_m);
  auto it = g_by_cookie.find(id.cookie);
  if (it == g_by_cookie.end() || !it->second) return;
  socket_opaque* so = it->second;
  std::unique_lock hold(so->callbacks);
  g.unlock();
  as_callbacks(so, [&] { hand_data(so, &from, p.l4 + 8, p.l4_len - 8, false); });
}

}  // namespace linux_backend

errno_t sflt_register(const sflt_filter* filter, int, int type, int protocol) {
  std::lock_guard g(g_m);
  for (auto& r : g_filters)
    if (r.f.sf_handle == filter->sf_handle) return EEXIST;
  g_filters.push_back({*filter, type, protocol});
  return 0;
}

errno_t sflt_unregister(sflt_handle handle) {
  sflt_filter found{};
  {
    std::lock_guard g(g_m);
    auto it = g_filters.begin();
    while (it != g_filters.end() && it->f.sf_handle != handle) ++it;
    if (it == g_filters.end()) return ENOENT;
    found = it->f;
    g_filters.erase(it);
    // Waits for each socket's callbacks in flight, then detaches it.
    for (socket_opaque* so : g_objects) {
      std::lock_guard hold(so->callbacks);
      if (so->filter.sf_handle == handle) run_detach(so);
    }
    if (g_filters.empty()) {
      // Nothing can reach a socket any more: no filter, so no callback and no detach.
      for (socket_opaque* so : g_objects) delete so;
      g_objects.clear();
      g_by_cookie.clear();
    }
  }
  if (found.sf_unregistered) found.sf_unregistered(handle);
  return 0;
}

errno_t sflt_detach(socket_t so, sflt_handle handle) {
  if (!so || !so->filtered) return EINVAL;
  if (so->in_callbacks.load() == std::this_thread::get_id()) {
    // Inside this socket's own callback: after it returns.
    if (!so->attached || so->filter.sf_handle != handle) return ENOENT;
    so->detach_pending = true;
    return 0;
  }
  std::lock_guard hold(so->callbacks);
  if (!so->attached || so->filter.sf_handle != handle) return ENOENT;
  run_detach(so);
  return 0;
}

void proc_selfname(char* buf, int size) {
  if (size <= 0) return;
  size_t n = std::min(t_procname.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buf, t_procname.data(), n);
  buf[n] = 0;
}

errno_t sock_getsockname(socket_t so, sockaddr_in* out) {
  if (!so || !so->filtered) return EINVAL;
  *out = so->local;
  return 0;
}

errno_t sock_tcp_info(socket_t so, tcp_conn_info* out) {
  if (!so || !so->filtered || !out) return EINVAL;
  if (so->protocol != IPPROTO_TCP) return EOPNOTSUPP;
  linux_backend::FlowKey key{IPPROTO_TCP, so->local.sin_addr.s_addr, ntohs(so->local.sin_port),
                             so->remote.sin_addr.s_addr, ntohs(so->remote.sin_port)};
  linux_backend::TcpTimes t;
  if (!linux_backend::tcp_times(key, &t))
    return ENOTCONN;  // closed and gone from the kernel's tables
  // Linux keeps no separate last sample; its smoothed time stands for both.
  out->srtt_ms = t.srtt_us / 1000;
  out->rtt_ms = out->srtt_ms;
  return 0;
}

}  // namespace platform::kern
