#include "Flows.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Backend.h"
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

// The socket of each flow seen, so that a flow's later packets cost no kernel lookup. An entry
// goes with its socket's destroy event; a new socket on the very same addresses and ports before
// that event is read would be taken for the old one, which a closed port reused within that
// moment makes unlikely.
struct FlowKeyHash {
  size_t operator()(const linux_backend::FlowKey& k) const {
    uint64_t a = (static_cast<uint64_t>(k.local_addr) << 32) | k.remote_addr;
    uint64_t b = (static_cast<uint64_t>(k.protocol) << 32) |
                 (static_cast<uint64_t>(k.local_port) << 16) | k.remote_port;
    return std::hash<uint64_t>{}(a * 0x9e3779b97f4a7c15ull ^ b);
  }
};
struct FlowKeyEq {
  bool operator()(const linux_backend::FlowKey& x, const linux_backend::FlowKey& y) const {
    return x.protocol == y.protocol && x.local_addr == y.local_addr &&
           x.local_port == y.local_port && x.remote_addr == y.remote_addr &&
           x.remote_port == y.remote_port;
  }
};
constexpr size_t kMaxFlows = 65536;
std::unordered_map<linux_backend::FlowKey, uint64_t, FlowKeyHash, FlowKeyEq> g_by_flow;
std::unordered_map<uint64_t, std::vector<linux_backend::FlowKey>> g_flows_of;  // by cookie

// g_m held.
void remember_flow(const linux_backend::FlowKey& key, uint64_t cookie) {
  if (g_by_flow.size() >= kMaxFlows) {
    g_by_flow.clear();
    g_flows_of.clear();
  }
  if (g_by_flow.emplace(key, cookie).second) g_flows_of[cookie].push_back(key);
}

// g_m held.
void forget_flows(uint64_t cookie) {
  auto it = g_flows_of.find(cookie);
  if (it == g_flows_of.end()) return;
  for (const auto& k : it->second) g_by_flow.erase(k);
  g_flows_of.erase(it);
}

// Every socket the filters were attached to while it lives. Sockets the filters declined are
// freed at once; a closed socket, detached, waits a while before it is freed: the core may still
// hold it for a detach of its own that it asked for just before (its reset copies its list).
std::vector<socket_opaque*> g_objects;
struct Closed {
  socket_opaque* so;
  std::chrono::steady_clock::time_point since;
};
std::vector<Closed> g_closed;
constexpr auto kClosedKept = std::chrono::seconds(60);
std::unordered_map<uint16_t, uint64_t> g_raw_ids;  // echo id -> cookie of an attached raw socket
std::vector<std::string> (*g_listed_names)() = nullptr;
bool (*g_protocol_on)(uint8_t) = nullptr;
// The one user whose sockets the filters may see; root: every user's.
std::atomic<uid_t> g_owner_uid{::geteuid()};
thread_local std::string t_procname;

// Whether a socket of `uid` may be selected at all.
bool user_admitted(uid_t uid) {
  uid_t allowed = g_owner_uid.load();
  return allowed == 0 || uid == allowed;
}

bool protocol_on(uint8_t protocol) {
  decltype(g_protocol_on) source;
  {
    std::lock_guard g(g_m);
    source = g_protocol_on;
  }
  return !source || source(protocol);
}

linux_backend::OwnerScope current_scope() {
  decltype(g_listed_names) source;
  {
    std::lock_guard g(g_m);
    source = g_listed_names;
  }
  if (!source) return {};
  return linux_backend::OwnerScope::from_names(source());
}

// g_m held.
void remember_declined(uint64_t cookie) {
  if (g_by_cookie.count(cookie)) return;
  if (g_by_cookie.size() >= kMaxDeclined)
    std::erase_if(g_by_cookie, [](auto& e) { return e.second == nullptr; });
  g_by_cookie[cookie] = nullptr;
}

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
  so->retired = true;
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

// Data the kernel counted but the filter never saw pass (TCP, whose callbacks count lengths):
// handed on as one buffer of that length that holds no bytes.
void hand_count(socket_opaque* so, const sockaddr_in* addr, uint64_t count, bool out) {
  auto cb = out ? so->filter.sf_data_out : so->filter.sf_data_in;
  if (!cb || !count || !still_attached(so)) return;
  mbuf_t m = nullptr;
  if (mbuf_alloc_count(static_cast<size_t>(count), &m) != 0) return;
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

namespace {

// What a lookup off the queue's thread found for a flow, until its first packet is decided.
struct Resolution {
  bool found = false;  // a socket
  SocketIdentity id;
  bool looked = false;  // its owner was looked for: `name` is what the filters are given
  std::string name;
};
constexpr size_t kMaxResolutions = 4096;
std::unordered_map<FlowKey, Resolution, FlowKeyHash, FlowKeyEq> g_resolutions;  // under g_m

bool take_resolution(const FlowKey& key, Resolution* out) {
  std::lock_guard g(g_m);
  auto it = g_resolutions.find(key);
  if (it == g_resolutions.end()) return false;
  *out = std::move(it->second);
  g_resolutions.erase(it);
  return true;
}

}  // namespace

bool flows_flow_key(const uint8_t* packet, size_t len, FlowKey* key) {
  Parsed p;
  if (!parse(packet, len, &p)) return false;
  *key = p.key;
  return true;
}

bool flows_known(const FlowKey& key) {
  {
    std::lock_guard g(g_m);
    if (g_filters.empty()) return true;  // nothing to look up for
    if (key.protocol != IPPROTO_ICMP) {
      auto f = g_by_flow.find(key);
      return f != g_by_flow.end() && g_by_cookie.count(f->second);
    }
    // Echo requests: a ping socket is found at once (/proc/net/icmp is short), and so is an
    // attached raw socket; only a raw socket's owner, a walk over processes, is looked for off
    // the queue's thread.
    sflt_filter unused;
    if (g_raw_ids.count(key.local_port) || !filter_for(SOCK_RAW, IPPROTO_ICMP, &unused))
      return true;
  }
  SocketIdentity id;
  return !protocol_on(IPPROTO_ICMP) || find_ping_socket(key.local_port, &id);
}

void flows_resolve(const uint8_t* packet, size_t len) {
  Parsed p;
  if (!parse(packet, len, &p)) return;
  Resolution r;
  if (p.key.protocol == IPPROTO_ICMP) {
    const uid_t any_user = g_owner_uid.load() == 0 ? kAnyUid : g_owner_uid.load();
    OwnerScope scope = current_scope();
    pid_t owner = 0;
    r.found = find_raw_icmp_socket(p.key.local_port, scope, &r.id, &owner, any_user);
    if (r.found && owner) r.name = listed_name(owner, scope);
    r.looked = true;
    std::lock_guard g(g_m);
    if (g_resolutions.size() >= kMaxResolutions) g_resolutions.clear();
    g_resolutions[p.key] = std::move(r);
    return;
  }
  r.found = find_socket(p.key, &r.id);
  bool look = false;
  if (r.found) {
    std::lock_guard g(g_m);
    sflt_filter f{};
    // Only a socket the filters may still take: new to them, a new connection, the served
    // user's.
    look = !g_by_cookie.count(r.id.cookie) &&
           filter_for(type_of(p.key.protocol), p.key.protocol, &f) &&
           (p.key.protocol != IPPROTO_TCP || p.syn) && user_admitted(r.id.uid);
  }
  if (look && protocol_on(p.key.protocol)) {
    OwnerScope scope = current_scope();
    if (pid_t owner = find_owner(r.id.inode, scope, r.id.uid)) r.name = listed_name(owner, scope);
    r.looked = true;
  }
  std::lock_guard g(g_m);
  if (g_resolutions.size() >= kMaxResolutions) g_resolutions.clear();
  g_resolutions[p.key] = std::move(r);
}

bool flows_on_output(const uint8_t* packet, size_t len) {
  Parsed p;
  if (!parse(packet, len, &p)) return false;
  {
    std::lock_guard g(g_m);
    if (g_filters.empty()) return false;
  }
  // Queries to resolvers are looked at by the IPv4 filter whoever sends them: never left out.
  // The flow's socket is not the filters' for the rest of its life.
  const bool not_ours = !(p.key.protocol == IPPROTO_UDP && p.key.remote_port == 53);
  const uid_t any_user = g_owner_uid.load() == 0 ? kAnyUid : g_owner_uid.load();
  SocketIdentity id;
  pid_t owner = 0;
  bool cached = false;  // the socket came from the flow table: its decision is known
  bool looked = false;  // its owner was looked for already: `looked_name`
  std::string looked_name;
  int type = type_of(p.key.protocol);
  if (p.key.protocol == IPPROTO_ICMP) {
    if (!find_ping_socket(p.key.local_port, &id)) {
      {
        std::lock_guard g(g_m);
        // An attached raw socket learns only its first destination: nothing more to find.
        if (g_raw_ids.count(p.key.local_port)) return false;
        sflt_filter unused;
        if (!filter_for(SOCK_RAW, IPPROTO_ICMP, &unused)) return false;
      }
      if (!protocol_on(IPPROTO_ICMP)) return false;
      // Its owner looked for off the queue's thread while the packet waited, or now.
      Resolution r;
      if (take_resolution(p.key, &r)) {
        if (!r.found) return false;
        id = r.id;
        looked = true;
        looked_name = std::move(r.name);
      } else if (!find_raw_icmp_socket(p.key.local_port, current_scope(), &id, &owner, any_user)) {
        return false;
      }
      type = SOCK_RAW;
    }
  } else {
    {
      // A flow already seen, of a socket whose fate is known: no lookup.
      std::lock_guard g(g_m);
      auto f = g_by_flow.find(p.key);
      if (f != g_by_flow.end() && g_by_cookie.count(f->second)) {
        id.cookie = f->second;
        cached = true;
      }
    }
    if (!cached) {
      // Looked up off the queue's thread while the packet waited, or now.
      Resolution r;
      if (take_resolution(p.key, &r)) {
        if (!r.found) return false;
        id = r.id;
        if (r.looked) {
          looked = true;
          looked_name = std::move(r.name);
        }
      } else if (!find_socket(p.key, &id)) {
        return false;
      }
      std::lock_guard g(g_m);
      remember_flow(p.key, id.cookie);
    }
  }
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
    if (!so) return not_ours;
    if (p.key.protocol != IPPROTO_UDP) return false;
    // A known UDP socket: every datagram is data out (new destinations become new flows).
    std::unique_lock hold(so->callbacks);
    g.unlock();
    as_callbacks(so, [&] { hand_data(so, &to, payload, payload_len, true); });
    return false;
  }
  if (cached) return false;  // forgotten meanwhile: the socket is gone
  sflt_filter f{};
  if (!filter_for(type, p.key.protocol, &f)) return false;
  if ((p.key.protocol == IPPROTO_TCP && !p.syn) || !user_admitted(id.uid)) {
    // Opened before the filter looked, or another user's: it stays outside.
    remember_declined(id.cookie);
    return not_ours;
  }
  g.unlock();
  // With the protocol's switch off the filters decline any socket: no owner is looked for.
  // The owner, without the lock: /proc walks are slow. A process gone meanwhile, or one the
  // filter doesn't list, is a miss: the socket is then never attached.
  std::string name;
  if (looked) {
    name = looked_name;
  } else if (protocol_on(p.key.protocol)) {
    linux_backend::OwnerScope scope = current_scope();
    if (!owner) owner = find_owner(id.inode, scope, id.uid);
    if (owner) name = listed_name(owner, scope);
  }
  if (name.empty()) {
    g.lock();
    remember_declined(id.cookie);
    return not_ours;
  }

  auto* so = new socket_opaque;
  so->filtered = true;
  so->protocol = p.key.protocol;
  so->socket_cookie = id.cookie;
  so->inode = id.inode;
  so->local.sin_family = AF_INET;
  so->local.sin_addr.s_addr = p.key.local_addr;
  so->local.sin_port = htons(p.key.local_port);
  so->remote.sin_family = AF_INET;
  so->remote.sin_addr.s_addr = p.key.remote_addr;
  so->remote.sin_port = htons(p.key.remote_port);
  g.lock();
  if (!filter_for(type, p.key.protocol, &so->filter) || g_by_cookie.count(id.cookie)) {
    delete so;
    return false;
  }
  std::unique_lock hold(so->callbacks);
  g_by_cookie[id.cookie] = so;
  g_objects.push_back(so);
  g.unlock();
  t_procname = name;
  bool accepted = false;
  as_callbacks(so, [&] {
    void* cookie = nullptr;
    if (!so->filter.sf_attach || so->filter.sf_attach(&cookie, so) != 0) return;
    accepted = true;
    so->attached = true;
    so->retired = false;
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
  hold.unlock();
  g.lock();
  // The last filter may have left meanwhile and freed every socket (only this thread adds any).
  auto pos = std::find(g_objects.begin(), g_objects.end(), so);
  if (pos == g_objects.end()) return false;
  if (!accepted) {
    // Never the core's: nothing else holds it once it leaves the tables.
    auto at = g_by_cookie.find(id.cookie);
    if (at != g_by_cookie.end() && at->second == so) at->second = nullptr;
    g_objects.erase(pos);
    { std::lock_guard last(so->callbacks); }  // a caller that found it before has finished
    g.unlock();
    delete so;
    return not_ours;
  }
  if (type == SOCK_RAW) g_raw_ids[p.key.local_port] = id.cookie;
  g.unlock();
  // A connection being made: the monitor follows its handshake closely from now on.
  if (p.key.protocol == IPPROTO_TCP) monitor_check_now();
  return false;
}

void flows_on_injected(const uint8_t* packet, size_t len) {
  Parsed p;
  if (!parse(packet, len, &p) || p.key.protocol != IPPROTO_UDP) return;
  // Inbound: the destination is ours.
  FlowKey key{IPPROTO_UDP, p.key.remote_addr, p.key.remote_port, p.key.local_addr,
              p.key.local_port};
  SocketIdentity id;
  {
    // The flow the answer belongs to went out through the queue: its socket is known.
    std::lock_guard g(g_m);
    auto f = g_by_flow.find(key);
    if (f != g_by_flow.end()) id.cookie = f->second;
  }
  if (!id.cookie && !find_socket(key, &id)) return;
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

namespace {

// ---- The socket monitor: one thread that reads destroy events as they come and, once a second,
// the kernel's state of every attached TCP connection (Linux tells no socket filter of these).

constexpr auto kMonitorPeriod = std::chrono::seconds(1);
constexpr auto kHandshakePeriod = std::chrono::milliseconds(10);

struct Monitor {
  std::thread thread;
  int wake_fd = -1;
  int check_fd = -1;  // a check asked for now
  linux_backend::DestroyEvents events;
  bool resync = false;  // events were lost: compare with a dump at the next tick
};
std::mutex g_monitor_m;  // starts and stops; never taken with g_m held
Monitor* g_monitor = nullptr;

bool is_closing_state(uint8_t st) {
  switch (st) {
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_TIME_WAIT:
    case TCP_CLOSE:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING:
      return true;
    default:
      return false;
  }
}

// The connection got past its handshake at some time: a state only an established connection
// reaches, or a round-trip sample (a failed connect has none).
bool was_established(const linux_backend::DiagSocket& d) {
  return d.state == TCP_ESTABLISHED || (is_closing_state(d.state) && d.state != TCP_CLOSE) ||
         (d.has_info && d.srtt_us > 0);
}

// Inside the socket's callbacks: what changed since the last look. `d` null: the connection is
// gone from the kernel's tables.
void tell_tcp(socket_opaque* so, const linux_backend::DiagSocket* d) {
  const sflt_filter& cb = so->filter;
  if (d && d->has_info && d->srtt_us) so->last_srtt_us = d->srtt_us;
  if (d && d->has_bytes) {
    // The peer's FIN takes one sequence number of the received count.
    bool fin_in = d->state == TCP_CLOSE_WAIT || d->state == TCP_LAST_ACK ||
                  d->state == TCP_CLOSING || d->state == TCP_TIME_WAIT || d->state == TCP_CLOSE;
    uint64_t in = d->bytes_received - (fin_in && d->bytes_received ? 1 : 0);
    if (d->bytes_sent > so->bytes_out_told) {
      hand_count(so, &so->remote, d->bytes_sent - so->bytes_out_told, true);
      so->bytes_out_told = d->bytes_sent;
    }
    if (in > so->bytes_in_told) {
      hand_count(so, &so->remote, in - so->bytes_in_told, false);
      so->bytes_in_told = in;
    }
  }
  bool closing = !d || is_closing_state(d->state);
  if (!so->connected_told && d &&
      (d->state == TCP_ESTABLISHED || (closing && was_established(*d)))) {
    so->connected_told = true;
    if (still_attached(so) && cb.sf_notify)
      cb.sf_notify(so->filter_cookie, so, sock_evt_connected, nullptr);
  }
  if (closing && !so->closing_told) {
    so->closing_told = true;
    if (still_attached(so) && cb.sf_notify)
      cb.sf_notify(so->filter_cookie, so, sock_evt_closing, nullptr);
  }
}

// The socket is gone: its last news (TCP), then detach; its cached decision goes too.
void forget(uint64_t cookie, const linux_backend::DiagSocket* last) {
  std::unique_lock g(g_m);
  forget_flows(cookie);
  auto it = g_by_cookie.find(cookie);
  if (it == g_by_cookie.end()) return;
  socket_opaque* so = it->second;
  g_by_cookie.erase(it);
  if (!so) return;
  if (so->protocol == IPPROTO_ICMP)
    std::erase_if(g_raw_ids, [&](auto& e) { return e.second == cookie; });
  std::unique_lock hold(so->callbacks);
  g.unlock();
  if (so->attached && so->protocol == IPPROTO_TCP) as_callbacks(so, [&] { tell_tcp(so, last); });
  run_detach(so);
  so->retired = true;
  hold.unlock();
  // Only this thread frees sockets while filters are registered: `so` is still here.
  g.lock();
  auto pos = std::find(g_objects.begin(), g_objects.end(), so);
  if (pos == g_objects.end()) return;
  g_objects.erase(pos);
  g_closed.push_back({so, std::chrono::steady_clock::now()});
}

// Frees the closed sockets kept long enough.
void free_closed() {
  std::vector<socket_opaque*> gone;
  {
    std::lock_guard g(g_m);
    auto now = std::chrono::steady_clock::now();
    std::erase_if(g_closed, [&](const Closed& c) {
      if (now - c.since < kClosedKept) return false;
      gone.push_back(c.so);
      return true;
    });
  }
  for (socket_opaque* so : gone) {
    { std::lock_guard last(so->callbacks); }  // a late detach of the core's has finished
    delete so;
  }
}

std::vector<socket_opaque*> monitored(uint8_t protocol) {
  std::lock_guard g(g_m);
  std::vector<socket_opaque*> out;
  for (socket_opaque* so : g_objects)
    if (so->protocol == protocol && !so->retired) out.push_back(so);
  return out;
}

// Looks at every attached TCP connection, or only at those still in their handshake; true when
// some handshake is still going on afterwards.
bool check_tcp(bool handshakes_only) {
  bool pending = false;
  for (socket_opaque* so : monitored(IPPROTO_TCP)) {
    if (handshakes_only) {
      std::lock_guard hold(so->callbacks);
      if (so->connected_told || so->closing_told) continue;
    }
    linux_backend::FlowKey key{IPPROTO_TCP, so->local.sin_addr.s_addr, ntohs(so->local.sin_port),
                               so->remote.sin_addr.s_addr, ntohs(so->remote.sin_port)};
    linux_backend::DiagSocket d;
    // A tuple now held by another socket is this one gone.
    bool found = linux_backend::tcp_lookup(key, &d) && d.cookie == so->socket_cookie;
    if (!found) {
      forget(so->socket_cookie, nullptr);
      continue;
    }
    std::lock_guard hold(so->callbacks);
    if (!so->attached) {
      so->retired = true;
      continue;
    }
    as_callbacks(so, [&] { tell_tcp(so, &d); });
    pending = pending || (so->attached && !so->connected_told && !so->closing_told);
  }
  return pending;
}

// Ping and raw sockets have no destroy events: gone from /proc/net is gone.
void check_icmp() {
  auto sockets = monitored(IPPROTO_ICMP);
  if (sockets.empty()) return;
  std::vector<uint64_t> open = linux_backend::icmp_socket_inodes();
  std::unordered_set<uint64_t> alive(open.begin(), open.end());
  for (socket_opaque* so : sockets)
    if (!alive.count(so->inode)) forget(so->socket_cookie, nullptr);
}

// After lost events: every cached socket that no dump shows any more is gone.
void resync() {
  std::unordered_set<uint64_t> alive;
  bool ok = true;
  for (uint8_t proto : {IPPROTO_TCP, IPPROTO_UDP})
    ok = linux_backend::dump_sockets(
             proto, [&](const linux_backend::DiagSocket& d) { alive.insert(d.cookie); }) &&
         ok;
  if (!ok) return;
  std::vector<uint64_t> gone;
  {
    std::lock_guard g(g_m);
    for (auto& [cookie, so] : g_by_cookie)
      if (!(cookie >> 63) && !alive.count(cookie)) gone.push_back(cookie);
  }
  for (uint64_t c : gone) forget(c, nullptr);
}

void monitor_loop(Monitor* m) {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now() + kMonitorPeriod;
  // A closer look at connections being made, while there are any.
  bool following = false;
  Clock::time_point handshakes{};
  for (;;) {
    auto now = Clock::now();
    auto until = following ? std::min(next, handshakes) : next;
    int wait_ms =
        until > now
            ? static_cast<int>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) +
                  1
            : 0;
    // The events' descriptor last: -1 when they are unavailable, which poll skips.
    pollfd p[3] = {{m->wake_fd, POLLIN, 0}, {m->check_fd, POLLIN, 0}, {m->events.fd(), POLLIN, 0}};
    int n = ::poll(p, 3, wait_ms);
    if (n < 0 && errno != EINTR) return;
    if (p[0].revents & POLLIN) return;
    if (p[2].revents & (POLLIN | POLLERR)) {
      if (!m->events.read([](const linux_backend::DiagSocket& d) { forget(d.cookie, &d); }))
        m->resync = true;
    }
    bool asked = false;
    if (p[1].revents & POLLIN) {
      uint64_t count;
      asked = ::read(m->check_fd, &count, sizeof count) == sizeof count;
    }
    now = Clock::now();
    bool pending;
    if (now >= next || asked) {
      next = std::max(next + kMonitorPeriod, now);
      pending = check_tcp(false);
      check_icmp();
      free_closed();
      // Lost events, or none to read at all: a dump tells which sockets are gone.
      if (m->resync || m->events.fd() < 0) {
        m->resync = false;
        resync();
      }
    } else if (following && now >= handshakes) {
      pending = check_tcp(true);
    } else {
      continue;
    }
    // "Connected" reports the time the handshake took: it is looked for more often.
    following = pending;
    handshakes = now + kHandshakePeriod;
  }
}

void monitor_start() {
  std::lock_guard g(g_monitor_m);
  if (g_monitor) return;
  auto* m = new Monitor;
  m->wake_fd = ::eventfd(0, EFD_CLOEXEC);
  m->check_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (int e = m->events.open(); e != 0) {
    // Without the events UDP sockets are found gone only by a dump at each tick.
    char line[120];
    std::snprintf(line, sizeof line, "tamseld socket destroy events unavailable: %d\n", e);
    kern_log_line(line);
  }
  m->thread = std::thread(monitor_loop, m);
  g_monitor = m;
}

// Joins the monitor: no callback of it runs after this returns.
void monitor_stop() {
  Monitor* m;
  {
    std::lock_guard g(g_monitor_m);
    m = g_monitor;
    g_monitor = nullptr;
  }
  if (!m) return;
  uint64_t one = 1;
  if (::write(m->wake_fd, &one, sizeof one) < 0) {
  }
  m->thread.join();
  ::close(m->wake_fd);
  ::close(m->check_fd);
  delete m;
}

}  // namespace

namespace linux_backend {

void set_listed_names_source(std::vector<std::string> (*source)()) {
  std::lock_guard g(g_m);
  g_listed_names = source;
}

void set_protocol_switch_source(bool (*source)(uint8_t protocol)) {
  std::lock_guard g(g_m);
  g_protocol_on = source;
}

void set_owner_uid(uid_t uid) { g_owner_uid.store(uid); }

void monitor_check_now() {
  std::lock_guard g(g_monitor_m);
  uint64_t one = 1;
  if (g_monitor && ::write(g_monitor->check_fd, &one, sizeof one) < 0) {
  }
}

void decline_existing_sockets(bool tcp, bool udp, bool icmp) {
  std::vector<uint64_t> cookies;
  auto take = [&](const DiagSocket& d) { cookies.push_back(d.cookie); };
  if (tcp) dump_sockets(IPPROTO_TCP, take);
  if (udp) dump_sockets(IPPROTO_UDP, take);
  if (icmp)
    for (uint64_t inode : icmp_socket_inodes()) cookies.push_back(icmp_cookie(inode));
  std::lock_guard g(g_m);
  for (uint64_t c : cookies) remember_declined(c);
}

}  // namespace linux_backend

errno_t sflt_register(const sflt_filter* filter, int, int type, int protocol) {
  {
    std::lock_guard g(g_m);
    for (auto& r : g_filters)
      if (r.f.sf_handle == filter->sf_handle) return EEXIST;
    g_filters.push_back({*filter, type, protocol});
  }
  monitor_start();
  return 0;
}

errno_t sflt_unregister(sflt_handle handle) {
  sflt_filter found{};
  bool last = false;
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
    last = g_filters.empty();
  }
  if (last) {
    // Nothing can reach a socket any more once the monitor is joined: no filter, so no
    // callback and no detach.
    monitor_stop();
    std::lock_guard g(g_m);
    if (g_filters.empty()) {
      for (socket_opaque* so : g_objects) delete so;
      g_objects.clear();
      g_by_cookie.clear();
      g_by_flow.clear();
      g_flows_of.clear();
      linux_backend::g_resolutions.clear();
      for (const Closed& c : g_closed) delete c.so;
      g_closed.clear();
      g_raw_ids.clear();
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
  if (!linux_backend::tcp_times(key, &t)) {
    // Gone from the kernel's tables: the last time seen stands for it.
    t.srtt_us = so->last_srtt_us;
    if (!t.srtt_us) return ENOTCONN;
  }
  // Linux keeps no separate last sample; its smoothed time stands for both.
  out->srtt_ms = t.srtt_us / 1000;
  out->rtt_ms = out->srtt_ms;
  return 0;
}

}  // namespace platform::kern
