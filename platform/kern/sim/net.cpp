// Simulated network side: socket filters over simulated sockets of simulated processes, the IPv4
// filter over packets the test hands in, and kernel UDP sockets whose sends are captured.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kern/kern.h"
#include "platform/kern/sim.h"

namespace platform::kern {

struct Attachment {
  sflt_filter f;
  void* cookie = nullptr;
  bool attached = true;
  bool detach_pending = false;  // asked inside a callback: runs when it returns
};

struct socket_opaque {
  // Filtered socket of a simulated process.
  std::string procname;
  int type = 0;
  int protocol = 0;
  uint16_t local_port = 0;  // host order
  bool closed = false;
  tcp_conn_info tcp{};
  std::recursive_mutex cb;  // one callback at a time per socket
  std::vector<Attachment> att;
  // Kernel UDP socket of the filter.
  bool kernel = false;
  sock_upcall upcall = nullptr;
  void* upcall_cookie = nullptr;
  bool connected = false;
  sockaddr_in peer{};
  std::deque<std::vector<uint8_t>> rx;
};

namespace sim {
struct Socket : socket_opaque {};
}  // namespace sim

struct ipfilter_opaque {
  ipf_filter f;
};

namespace {

struct FilterReg {
  sflt_filter f;
  int domain, type, protocol;
};

struct NetState {
  std::mutex m;
  std::vector<FilterReg> filters;
  std::vector<sflt_handle> fail_handles;
  bool fail_ipf = false;
  std::vector<ipfilter_opaque*> ipfs;
  std::map<socket_opaque*, std::shared_ptr<sim::Socket>> sockets;
  bool deferred = false;
  std::deque<std::pair<std::shared_ptr<sim::Socket>, sflt_handle>> pending;
  bool threads = false;
  std::thread worker;
  std::condition_variable cv;
  bool stop_worker = false;
  std::vector<std::vector<uint8_t>> injected;
  std::vector<sim::Sent> sends;
  errno_t fail_socket = 0, fail_connect = 0, fail_nonblock = 0, fail_send = 0;
  uint16_t next_port = 49152;
};

NetState& st() {
  static NetState s;
  return s;
}

// Plain arrays: usable from exit handlers after thread-local objects are gone.
struct ProcName {
  char s[32];
};
thread_local ProcName t_procname;
constexpr int kMaxNested = 16;
thread_local socket_opaque* t_in_callback[kMaxNested];
thread_local int t_ncallback = 0;

ProcName name_of(const std::string& s) {
  ProcName p{};
  std::snprintf(p.s, sizeof p.s, "%s", s.c_str());
  return p;
}

bool in_callback_of(socket_opaque* so) {
  for (int i = 0; i < t_ncallback; ++i)
    if (t_in_callback[i] == so) return true;
  return false;
}
void push_callback(socket_opaque* so) {
  if (t_ncallback < kMaxNested) t_in_callback[t_ncallback++] = so;
}
void pop_callback() {
  if (t_ncallback > 0) --t_ncallback;
}

std::shared_ptr<sim::Socket> find(socket_opaque* so) {
  auto& s = st();
  std::lock_guard g(s.m);
  auto it = s.sockets.find(so);
  return it == s.sockets.end() ? nullptr : it->second;
}

void run_detach(socket_opaque* so, Attachment& a) {
  if (!a.attached) return;
  a.attached = false;
  a.detach_pending = false;
  ProcName saved = t_procname;
  t_procname = name_of(so->procname);
  if (a.f.sf_detach) a.f.sf_detach(a.cookie, so);
  t_procname = saved;
}

// Runs one callback per attached filter (stopping at a non-zero answer), then any detach asked
// from inside them.
template <typename Fn>
errno_t each_filter(socket_opaque* so, Fn fn) {
  std::lock_guard g(so->cb);
  push_callback(so);
  ProcName saved = t_procname;
  t_procname = name_of(so->procname);
  errno_t r = 0;
  for (auto& a : so->att) {
    if (!a.attached || a.detach_pending) continue;
    r = fn(a);
    if (r != 0) break;
  }
  t_procname = saved;
  pop_callback();
  for (auto& a : so->att)
    if (a.detach_pending) run_detach(so, a);
  return r;
}

void worker_loop() {
  auto& s = st();
  std::unique_lock lk(s.m);
  for (;;) {
    s.cv.wait(lk, [&] { return s.stop_worker || !s.pending.empty(); });
    if (s.stop_worker && s.pending.empty()) return;
    auto item = s.pending.front();
    s.pending.pop_front();
    lk.unlock();
    {
      std::lock_guard g(item.first->cb);
      for (auto& a : item.first->att)
        if (a.f.sf_handle == item.second) run_detach(item.first.get(), a);
    }
    lk.lock();
  }
}

void stop_worker() {
  auto& s = st();
  std::thread t;
  {
    std::lock_guard g(s.m);
    if (!s.worker.joinable()) return;
    s.stop_worker = true;
    t = std::move(s.worker);
  }
  s.cv.notify_all();
  t.join();
  std::lock_guard g(s.m);
  s.stop_worker = false;
}

}  // namespace

errno_t sflt_register(const sflt_filter* filter, int domain, int type, int protocol) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (std::find(s.fail_handles.begin(), s.fail_handles.end(), filter->sf_handle) !=
      s.fail_handles.end())
    return ENOMEM;
  for (auto& r : s.filters)
    if (r.f.sf_handle == filter->sf_handle) return EEXIST;
  s.filters.push_back({*filter, domain, type, protocol});
  return 0;
}

errno_t sflt_unregister(sflt_handle handle) {
  auto& s = st();
  FilterReg reg;
  std::vector<std::shared_ptr<sim::Socket>> socks;
  {
    std::lock_guard g(s.m);
    auto it = std::find_if(s.filters.begin(), s.filters.end(),
                           [&](auto& r) { return r.f.sf_handle == handle; });
    if (it == s.filters.end()) return ENOENT;
    reg = *it;
    s.filters.erase(it);
    for (auto& [p, sp] : s.sockets) socks.push_back(sp);
  }
  for (auto& so : socks) {
    std::lock_guard g(so->cb);
    for (auto& a : so->att)
      if (a.f.sf_handle == handle) run_detach(so.get(), a);
  }
  if (reg.f.sf_unregistered) reg.f.sf_unregistered(handle);
  return 0;
}

errno_t sflt_detach(socket_t so, sflt_handle handle) {
  auto sp = find(so);
  if (!sp) return EINVAL;
  auto& s = st();
  // Inside one of the socket's own callbacks: runs once the callback returns.
  if (in_callback_of(so)) {
    for (auto& a : so->att)
      if (a.f.sf_handle == handle && a.attached) a.detach_pending = true;
    return 0;
  }
  {
    std::lock_guard g(s.m);
    if (s.deferred) {
      s.pending.emplace_back(sp, handle);
      if (s.threads && !s.worker.joinable()) s.worker = std::thread(worker_loop);
      s.cv.notify_all();
      return 0;
    }
  }
  std::lock_guard g(so->cb);
  for (auto& a : so->att)
    if (a.f.sf_handle == handle) run_detach(so, a);
  return 0;
}

void proc_selfname(char* buf, int size) {
  if (size <= 0) return;
  std::snprintf(buf, size, "%s", t_procname.s);
}

errno_t sock_getsockname(socket_t so, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(so->local_port);
  out->sin_addr.s_addr = htonl(0x0a000002);
  return 0;
}

errno_t sock_tcp_info(socket_t so, tcp_conn_info* out) {
  *out = so->tcp;
  return 0;
}

errno_t ipf_addv4(const ipf_filter* filter, ipfilter_t* ref) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (s.fail_ipf) return ENOMEM;
  auto* f = new ipfilter_opaque{*filter};
  s.ipfs.push_back(f);
  *ref = f;
  return 0;
}

errno_t ipf_remove(ipfilter_t ref) {
  auto& s = st();
  ipf_filter f;
  {
    std::lock_guard g(s.m);
    auto it = std::find(s.ipfs.begin(), s.ipfs.end(), ref);
    if (it == s.ipfs.end()) return ENOENT;
    f = ref->f;
    s.ipfs.erase(it);
    delete ref;
  }
  if (f.ipf_detach) f.ipf_detach(f.cookie);
  return 0;
}

errno_t ipf_inject_input(mbuf_t data, ipfilter_t filter_ref) {
  auto& s = st();
  std::vector<ipfilter_opaque> fs;
  {
    std::lock_guard g(s.m);
    for (auto* f : s.ipfs)
      if (f != filter_ref) fs.push_back(*f);
  }
  // Injected packets pass the input filters, except the one named.
  const uint8_t* b = mbuf_data(data);
  int hl = mbuf_len(data) ? (b[0] & 0x0f) * 4 : 0;
  uint8_t proto = mbuf_len(data) > 9 ? b[9] : 0;
  for (auto& f : fs) {
    if (!f.f.ipf_input) continue;
    errno_t r = f.f.ipf_input(f.f.cookie, &data, hl, proto);
    if (r == EJUSTRETURN) return 0;
    if (r != 0) {
      mbuf_freem(data);
      return 0;
    }
  }
  {
    std::lock_guard g(s.m);
    s.injected.emplace_back(mbuf_data(data), mbuf_data(data) + mbuf_len(data));
  }
  mbuf_freem(data);
  return 0;
}

errno_t sock_socket(int domain, int type, int protocol, sock_upcall callback, void* cookie,
                    socket_t* out) {
  auto& s = st();
  std::lock_guard g(s.m);
  *out = nullptr;
  if (s.fail_socket) return std::exchange(s.fail_socket, 0);
  if (domain != PF_INET || type != SOCK_DGRAM || (protocol != IPPROTO_UDP && protocol != 0))
    return EPROTONOSUPPORT;
  auto sp = std::make_shared<sim::Socket>();
  sp->kernel = true;
  sp->type = type;
  sp->protocol = IPPROTO_UDP;
  sp->upcall = callback;
  sp->upcall_cookie = cookie;
  s.sockets[sp.get()] = sp;
  *out = sp.get();
  return 0;
}

errno_t sock_connect(socket_t so, const sockaddr_in* to, int) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (s.fail_connect) return std::exchange(s.fail_connect, 0);
  so->peer = *to;
  so->connected = true;
  return 0;
}

errno_t sock_nonblock(socket_t, bool) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (s.fail_nonblock) return std::exchange(s.fail_nonblock, 0);
  return 0;
}

errno_t sock_send(socket_t so, const void* data, size_t len, size_t* sent) {
  auto& s = st();
  std::lock_guard g(s.m);
  *sent = 0;
  if (s.fail_send) return std::exchange(s.fail_send, 0);
  if (!so->connected) return ENOTCONN;
  auto* p = static_cast<const uint8_t*>(data);
  s.sends.push_back({so->peer, std::vector<uint8_t>(p, p + len)});
  *sent = len;
  return 0;
}

errno_t sock_send2(socket_t so, const void* head, size_t head_len, const void* body,
                   size_t body_len, size_t* sent) {
  std::vector<uint8_t> whole(static_cast<const uint8_t*>(head),
                             static_cast<const uint8_t*>(head) + head_len);
  whole.insert(whole.end(), static_cast<const uint8_t*>(body),
               static_cast<const uint8_t*>(body) + body_len);
  return sock_send(so, whole.data(), whole.size(), sent);
}

errno_t sock_receivembuf(socket_t so, mbuf_t* out) {
  std::vector<uint8_t> bytes;
  {
    std::lock_guard g(st().m);
    if (so->rx.empty()) return EWOULDBLOCK;
    bytes = std::move(so->rx.front());
    so->rx.pop_front();
  }
  errno_t r = mbuf_allocpacket(bytes.size(), out);
  if (r) return r;
  if (!bytes.empty()) std::memcpy(mbuf_data(*out), bytes.data(), bytes.size());
  return 0;
}

void sock_close(socket_t so) {
  auto& s = st();
  std::lock_guard g(s.m);
  s.sockets.erase(so);
}

namespace sim {

void run_deferred();

void fail_sflt_register(sflt_handle handle, bool on) {
  auto& s = st();
  std::lock_guard g(s.m);
  auto& v = s.fail_handles;
  v.erase(std::remove(v.begin(), v.end(), handle), v.end());
  if (on) v.push_back(handle);
}

void fail_ipf_add(bool on) {
  std::lock_guard g(st().m);
  st().fail_ipf = on;
}

std::vector<sflt_handle> registered_filters() {
  std::lock_guard g(st().m);
  std::vector<sflt_handle> v;
  for (auto& r : st().filters) v.push_back(r.f.sf_handle);
  return v;
}

bool ipf_registered() {
  std::lock_guard g(st().m);
  return !st().ipfs.empty();
}

void set_deferred_detach(bool on) {
  {
    std::lock_guard g(st().m);
    st().deferred = on;
  }
  // The system gets round to the deferred detaches while the filter waits.
  set_delay_hook(on ? std::function<void()>(run_deferred) : nullptr);
}

void run_deferred() {
  auto& s = st();
  for (;;) {
    std::pair<std::shared_ptr<Socket>, sflt_handle> item;
    {
      std::lock_guard g(s.m);
      if (s.pending.empty()) return;
      item = s.pending.front();
      s.pending.pop_front();
    }
    std::lock_guard g(item.first->cb);
    for (auto& a : item.first->att)
      if (a.f.sf_handle == item.second) run_detach(item.first.get(), a);
  }
}

void set_threads_mode(bool on) {
  {
    std::lock_guard g(st().m);
    st().threads = on;
  }
  if (!on) stop_worker();
}

Socket* socket_create(const std::string& procname, int type, int protocol) {
  auto& s = st();
  auto sp = std::make_shared<Socket>();
  sp->procname = procname;
  sp->type = type;
  sp->protocol = protocol;
  std::vector<FilterReg> regs;
  {
    std::lock_guard g(s.m);
    s.sockets[sp.get()] = sp;
    for (auto& r : s.filters)
      if (r.domain == PF_INET && r.type == type && r.protocol == protocol) regs.push_back(r);
  }
  std::lock_guard g(sp->cb);
  push_callback(sp.get());
  ProcName saved = t_procname;
  t_procname = name_of(procname);
  for (auto& r : regs) {
    void* cookie = nullptr;
    // The attachment is recorded first so that a detach asked from attach finds it.
    sp->att.push_back(Attachment{r.f, nullptr, true, false});
    size_t idx = sp->att.size() - 1;
    if (r.f.sf_attach(&cookie, sp.get()) != 0) {
      sp->att.erase(sp->att.begin() + idx);
      continue;
    }
    sp->att[idx].cookie = cookie;
  }
  t_procname = saved;
  pop_callback();
  for (auto& a : sp->att)
    if (a.detach_pending) run_detach(sp.get(), a);
  return sp.get();
}

socket_t handle(Socket* s) { return s; }

std::vector<sflt_handle> attached_filters(Socket* so) {
  std::lock_guard g(so->cb);
  std::vector<sflt_handle> v;
  for (auto& a : so->att)
    if (a.attached) v.push_back(a.f.sf_handle);
  return v;
}

void socket_bind(Socket* so, uint16_t port) {
  so->local_port = port;
  each_filter(so, [&](Attachment& a) {
    if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_bound, nullptr);
    return 0;
  });
}

static uint16_t ephemeral() {
  std::lock_guard g(st().m);
  return st().next_port++;
}

errno_t socket_connect(Socket* so, const sockaddr_in& to, bool established) {
  errno_t r = each_filter(so, [&](Attachment& a) {
    return a.f.sf_connect_out ? a.f.sf_connect_out(a.cookie, so, &to) : 0;
  });
  if (r) return r;
  bool newly_bound = so->local_port == 0;
  if (newly_bound) so->local_port = ephemeral();
  if (so->type == SOCK_STREAM) {
    each_filter(so, [&](Attachment& a) {
      if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_connecting, nullptr);
      return 0;
    });
    if (established)
      each_filter(so, [&](Attachment& a) {
        if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_connected, nullptr);
        return 0;
      });
    return established ? 0 : ECONNREFUSED;
  }
  // A datagram socket is bound by its connect.
  if (newly_bound)
    each_filter(so, [&](Attachment& a) {
      if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_bound, nullptr);
      return 0;
    });
  return 0;
}

errno_t socket_listen(Socket* so) {
  return each_filter(
      so, [&](Attachment& a) { return a.f.sf_listen ? a.f.sf_listen(a.cookie, so) : 0; });
}

static errno_t pass_data(Socket* so, const sockaddr_in* addr, const std::vector<uint8_t>& data,
                         bool out) {
  mbuf_t m = nullptr;
  if (mbuf_allocpacket(data.size(), &m)) return ENOBUFS;
  if (!data.empty()) std::memcpy(mbuf_data(m), data.data(), data.size());
  errno_t r = each_filter(so, [&](Attachment& a) {
    auto fn = out ? a.f.sf_data_out : a.f.sf_data_in;
    return fn ? fn(a.cookie, so, addr, &m, 0) : 0;
  });
  // EJUSTRETURN: a filter kept the data; otherwise the stack frees it.
  if (r != EJUSTRETURN) mbuf_freem(m);
  // A datagram socket sending unbound is bound on the way out, after its filters saw the data.
  if (out && r == 0 && so->type != SOCK_STREAM && so->local_port == 0) {
    so->local_port = ephemeral();
    each_filter(so, [&](Attachment& a) {
      if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_bound, nullptr);
      return 0;
    });
  }
  return r == EJUSTRETURN ? 0 : r;
}

errno_t socket_send(Socket* so, const sockaddr_in* to, const std::vector<uint8_t>& data) {
  return pass_data(so, to, data, true);
}

errno_t socket_receive(Socket* so, const sockaddr_in* from, const std::vector<uint8_t>& data) {
  return pass_data(so, from, data, false);
}

void socket_set_tcp_info(Socket* so, uint32_t srtt_ms, uint32_t rtt_ms) {
  so->tcp = {srtt_ms, rtt_ms};
}

void socket_close(Socket* so) {
  auto sp = find(so);
  if (!sp) return;
  each_filter(so, [&](Attachment& a) {
    if (a.f.sf_notify) a.f.sf_notify(a.cookie, so, sock_evt_closing, nullptr);
    return 0;
  });
  {
    std::lock_guard g(so->cb);
    for (auto& a : so->att) run_detach(so, a);
  }
  auto& s = st();
  std::lock_guard g(s.m);
  so->closed = true;
  s.sockets.erase(so);
}

// Hands the packet to each attached IPv4 filter in turn through `call`, which
// picks the direction's callback; a filter without one returns 0 and passes.
template <typename Call>
IpResult run_ip_filters(const std::vector<uint8_t>& packet, Call call) {
  std::vector<ipfilter_opaque> fs;
  {
    std::lock_guard g(st().m);
    for (auto* f : st().ipfs) fs.push_back(*f);
  }
  mbuf_t m = nullptr;
  if (mbuf_allocpacket(packet.size(), &m)) return {Verdict::kRejected, {}, false};
  if (!packet.empty()) std::memcpy(mbuf_data(m), packet.data(), packet.size());
  for (auto& f : fs) {
    errno_t r = call(f.f, &m);
    if (r == EJUSTRETURN) return {Verdict::kConsumed, {}, false};
    if (r != 0) {
      mbuf_freem(m);
      return {Verdict::kRejected, {}, false};
    }
  }
  IpResult res{Verdict::kContinued, std::vector<uint8_t>(mbuf_data(m), mbuf_data(m) + mbuf_len(m)),
               mbuf_modified(m)};
  mbuf_freem(m);
  return res;
}

IpResult ip_output(const std::vector<uint8_t>& packet) {
  return run_ip_filters(packet, [](const auto& f, mbuf_t* m) -> errno_t {
    return f.ipf_output ? f.ipf_output(f.cookie, m) : 0;
  });
}

IpResult ip_input(const std::vector<uint8_t>& packet) {
  int hl = packet.empty() ? 0 : (packet[0] & 0x0f) * 4;
  uint8_t proto = packet.size() > 9 ? packet[9] : 0;
  return run_ip_filters(packet, [hl, proto](const auto& f, mbuf_t* m) -> errno_t {
    return f.ipf_input ? f.ipf_input(f.cookie, m, hl, proto) : 0;
  });
}

std::vector<std::vector<uint8_t>> injected() {
  std::lock_guard g(st().m);
  return st().injected;
}

void clear_injected() {
  std::lock_guard g(st().m);
  st().injected.clear();
}

std::vector<Sent> kernel_sends() {
  std::lock_guard g(st().m);
  return st().sends;
}

void clear_kernel_sends() {
  std::lock_guard g(st().m);
  st().sends.clear();
}

int open_kernel_sockets() {
  std::lock_guard g(st().m);
  int n = 0;
  for (auto& [p, sp] : st().sockets) n += sp->kernel;
  return n;
}

void fail_next_sock_socket(errno_t e) {
  std::lock_guard g(st().m);
  st().fail_socket = e;
}
void fail_next_sock_connect(errno_t e) {
  std::lock_guard g(st().m);
  st().fail_connect = e;
}
void fail_next_sock_nonblock(errno_t e) {
  std::lock_guard g(st().m);
  st().fail_nonblock = e;
}
void fail_next_sock_send(errno_t e) {
  std::lock_guard g(st().m);
  st().fail_send = e;
}

void deliver_datagram(const sockaddr_in& from, const std::vector<uint8_t>& bytes) {
  std::vector<std::shared_ptr<Socket>> targets;
  {
    std::lock_guard g(st().m);
    for (auto& [p, sp] : st().sockets)
      if (sp->kernel && sp->connected && sp->peer.sin_addr.s_addr == from.sin_addr.s_addr &&
          sp->peer.sin_port == from.sin_port) {
        sp->rx.push_back(bytes);
        targets.push_back(sp);
      }
  }
  for (auto& sp : targets)
    if (sp->upcall) sp->upcall(sp.get(), sp->upcall_cookie, 0);
}

void reset_net() {
  stop_worker();
  {
    auto& s = st();
    std::lock_guard g(s.m);
    s.filters.clear();
    s.fail_handles.clear();
    s.fail_ipf = false;
    for (auto* f : s.ipfs) delete f;
    s.ipfs.clear();
    s.sockets.clear();
    s.pending.clear();
    s.deferred = false;
    s.threads = false;
    s.injected.clear();
    s.sends.clear();
    s.fail_socket = s.fail_connect = s.fail_nonblock = s.fail_send = 0;
    s.next_port = 49152;
  }
}

}  // namespace sim
}  // namespace platform::kern
