// Tunnel data path: one kernel UDP socket per path offset towards its entrance server; type-400
// frames out, type-401 frames in.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "packet.h"
#include "rules.h"
#include "tamsel_internal.h"

namespace tamsel {

#pragma pack(push, 1)
struct kext_frame_header {
  uint32_t length;
  uint32_t type;
  uint32_t exit;
  uint32_t stream_limit;
  uint32_t vni;
  uint8_t level;
  char nat[20];
};
#pragma pack(pop)
static_assert(sizeof(kext_frame_header) == 41);

namespace {

constexpr uint32_t kFrameOut = 400;
constexpr uint32_t kFrameIn = 401;
constexpr size_t kMaxDatagram = 20480;

// A server socket outlives the table entry while a send or an upcall still uses it.
struct ServerSock {
  k::socket_t so;
  std::atomic<int> refs;
};

void put(ServerSock* s) {
  if (s && s->refs.fetch_sub(1) == 1) {
    k::sock_close(s->so);
    delete s;
  }
}

struct server_socket_entry {
  ServerSock* sock;
  uint32_t entrance_ip;
  uint32_t asked;
  uint32_t exit;
  char exit_nat[24];
  uint32_t stream_limit;
};

struct vin_entry {
  int32_t offset;
  char entrance_ip[16];
  int32_t port;
};

server_socket_entry server_socket[abi::kPathOffsetCount];
vin_entry vin_buff[abi::kPathOffsetCount];
// What the admin stats report of the live updates (under lock_mutext_server_socks).
uint32_t streamlimit_set = 0;
char entrance_updated[24] = "";

void udp_upcall(k::socket_t so, void* cookie, int waitf);

// A connected, non-blocking kernel UDP socket; the failing call's errno otherwise.
ServerSock* create_server_socket(const char* ip_text, int32_t port, errno_t* err) {
  uint32_t ip;
  if (!parse_dotted_ipv4(ip_text, &ip) || port < 1 || port > 65535) {
    *err = EINVAL;
    return nullptr;
  }
  k::socket_t so = nullptr;
  errno_t r = k::sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, udp_upcall, nullptr, &so);
  if (r == 0) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip;
    to.sin_port = static_cast<uint16_t>(((port & 0xff) << 8) | ((port >> 8) & 0xff));
    r = k::sock_connect(so, &to, 0);
    if (r == 0) r = k::sock_nonblock(so, true);
  }
  if (r != 0 || !so) {
    if (so) k::sock_close(so);
    // Values that would make the caller repeat the call become a plain failure.
    *err = (r == 0 || r == EINTR || r == EAGAIN || r == EINPROGRESS) ? EIO : r;
    return nullptr;
  }
  auto* s = new (std::nothrow) ServerSock{so, {1}};
  if (!s) {
    k::sock_close(so);
    *err = ENOMEM;
  }
  return s;
}

void add_entrance_black_rules(const char* ip, int32_t port) {
  char rule[64];
  std::snprintf(rule, sizeof rule, "*|%s|%d|udp", ip, port);
  errno_t e = add_rule(RULE_KIND_BLACK, 0, 0, rule, nullptr);
  std::snprintf(rule, sizeof rule, "*|%s|*|icmp", ip);
  if (!e) e = add_rule(RULE_KIND_BLACK, 0, 0, rule, nullptr);
  if (e) klog("entrance %s:%d not black-listed: %d", ip, port, e);
}

void req_path(uint8_t offset, uint8_t level, uint32_t ip) {
  bool ask = false;
  {
    MutexHold hold(lock_mutext_server_socks);
    if (!server_socket[offset].asked) {
      server_socket[offset].asked = 1;
      ask = true;
    }
  }
  if (!ask) return;
  abi::k2u_req_path r{};
  r.offset = offset;
  r.level = level;
  r.ip = ip;
  domain_of_ip(ip, r.domain, sizeof r.domain);
  kctl_send2user_bin(abi::K2U_REQ_PATH, &r, sizeof r);
}

// Rebuilds the offset's socket from its saved entrance after the local address went away.
void recreate_server_socket(int offset, ServerSock* failed) {
  MutexHold hold(lock_mutext_server_socks);
  server_socket_entry& e = server_socket[offset];
  if (e.sock != failed) return;  // someone replaced it meanwhile
  const vin_entry& v = vin_buff[offset];
  uint32_t ip;
  if (!parse_dotted_ipv4(v.entrance_ip, &ip) || v.offset < 0 || v.offset >= abi::kPathOffsetCount)
    return;
  errno_t err = 0;
  ServerSock* s = create_server_socket(v.entrance_ip, v.port, &err);
  if (!s) return;
  ServerSock* old = e.sock;
  e.sock = s;
  e.entrance_ip = ip;
  put(old);
}

// A usable IPv4 packet: header and, unless a later fragment, the transport header inside;
// bytes past the total length are dropped.
bool valid_inner_packet(uint8_t* p, size_t* n) {
  ip_view v;
  if (!ip_parse(p, *n, &v)) return false;
  *n = v.len;
  bool later_fragment = (rd16(p + 6) & 0x1fff) != 0;
  if (later_fragment) return true;
  size_t l4 = v.len - v.hl;
  switch (v.proto) {
    case IPPROTO_TCP:
      return l4 >= 20;
    case IPPROTO_UDP:
      return l4 >= 8;
    case IPPROTO_ICMP:
      return l4 >= 8;
    default:
      return true;
  }
}

void inbound_report(const uint8_t* p, size_t n) {
  if (n < 20) return;
  size_t hl = static_cast<size_t>(p[0] & 0x0f) * 4;
  if (hl < 20 || hl > n) return;
  uint8_t proto = p[9];
  abi::ippacket_desc_s d{};
  d.offset = 255;
  d.protocol = proto;
  std::memcpy(&d.ip, p + 12, 4);
  if (proto == IPPROTO_TCP || proto == IPPROTO_UDP) {
    if (n < hl + (proto == IPPROTO_TCP ? 20u : 8u)) return;
    std::memcpy(&d.remote_port, p + hl, 2);
    std::memcpy(&d.local_port, p + hl + 2, 2);
  } else if (proto == IPPROTO_ICMP) {
    if (n < hl + 28 || p[hl] != 0) return;
    std::memcpy(&d.local_port, p + hl + 4, 2);
  } else {
    return;
  }
  uint16_t total = rd16(p + 2);
  d.length = total;
  if (total > 10000) return;
  if (proto == IPPROTO_UDP && rd16(p + hl) == 53) {
    if (!intercept_ippacket_match_white_list(&d, &d.offset, &d.level, d.text)) return;
    std::strcpy(d.procname, "DNS");
  } else if (!intercept_ippacket_exist(&d, &d.offset, &d.level, d.procname, d.text)) {
    return;
  }
  ippacket_report(d, abi::K2U_DIR_IN);
}

void handle_datagram(k::mbuf_t m) {
  size_t n = k::mbuf_len(m);
  const uint8_t* b = k::mbuf_data(m);
  uint32_t length, type;
  if (n <= 36) return;
  std::memcpy(&length, b, 4);
  std::memcpy(&type, b + 4, 4);
  if (!switch_is_on(&AVintercept) || type != kFrameIn || length != n) return;
  size_t inner = n - 8;
  k::mbuf_t pkt = nullptr;
  if (k::mbuf_allocpacket(inner, &pkt) != 0) return;
  std::memcpy(k::mbuf_data(pkt), b + 8, inner);
  if (!valid_inner_packet(k::mbuf_data(pkt), &inner)) {
    k::mbuf_freem(pkt);
    return;
  }
  k::mbuf_setlen(pkt, inner);
  reduce_tcp_mss(k::mbuf_data(pkt), inner);
  update_ip_cksum(k::mbuf_data(pkt), inner);
  inbound_report(k::mbuf_data(pkt), inner);
  k::mbuf_clear_csum_flags(pkt);
  errno_t r = k::ipf_inject_input(pkt, nullptr);
  if (r != 0) klog("inject IP packet error %d", r);
}

void udp_upcall(k::socket_t so, void*, int) {
  ServerSock* s = nullptr;
  {
    MutexHold hold(lock_mutext_server_socks);
    for (auto& e : server_socket) {
      if (e.sock && e.sock->so == so) {
        s = e.sock;
        s->refs.fetch_add(1);
        break;
      }
    }
  }
  if (!s) return;  // being replaced or closed
  for (;;) {
    k::mbuf_t m = nullptr;
    errno_t r = k::sock_receivembuf(so, &m);
    if (r == EWOULDBLOCK) break;
    if (r != 0) {
      klog("sock_receivembuf error %d", r);
      break;
    }
    if (k::mbuf_len(m) > kMaxDatagram) k::mbuf_setlen(m, kMaxDatagram);
    if (k::mbuf_len(m) > 0) handle_datagram(m);
    k::mbuf_freem(m);
  }
  put(s);
}

// Keeps the entrance an offset was last given; the caller holds lock_mutext_server_socks.
// Called with lock_mutext_server_socks held.
void note_entrance_update(const abi::vni_off_entry& e) {
  char ip[sizeof e.entrance_ip + 1] = {};
  copy_text(ip, sizeof ip, e.entrance_ip, sizeof e.entrance_ip);
  std::snprintf(entrance_updated, sizeof entrance_updated, "%s:%d", ip,
                static_cast<int>(e.port & 0xffff));
}

void save_entrance(const abi::vni_off_entry& e) {
  vin_entry& v = vin_buff[e.offset];
  v.offset = e.offset;
  copy_text(v.entrance_ip, sizeof v.entrance_ip, e.entrance_ip, sizeof e.entrance_ip);
  v.port = e.port;
}

// Opens the entrance socket, keeping its own traffic out of the filter first.
ServerSock* open_entrance(const abi::vni_off_entry& e, uint32_t* ip, errno_t* err) {
  add_entrance_black_rules(e.entrance_ip, e.port);
  ServerSock* s = create_server_socket(e.entrance_ip, e.port, err);
  if (s) parse_dotted_ipv4(e.entrance_ip, ip);
  return s;
}

}  // namespace

errno_t set_vni_off_entry(const abi::vni_off_entry& e) {
  errno_t err = 0;
  uint32_t ip = 0;
  ServerSock* s = open_entrance(e, &ip, &err);
  if (!s) return err;
  ServerSock* old;
  {
    MutexHold hold(lock_mutext_server_socks);
    save_entrance(e);
    server_socket_entry& x = server_socket[e.offset];
    old = x.sock;
    x.sock = s;
    x.entrance_ip = ip;
    x.exit = e.exit;
    std::memset(x.exit_nat, 0, sizeof x.exit_nat);  // a shorter text must not keep old bytes
    copy_text(x.exit_nat, sizeof x.exit_nat, e.exit_nat, sizeof e.exit_nat);
    x.stream_limit = e.stream_limit;
  }
  put(old);
  kctl_send2usr(abi::K2U_LOG, "create udp socket (%s:%d) for offset %d--Limite:%d-", e.entrance_ip,
                e.port, e.offset, static_cast<int>(e.stream_limit));
  return 0;
}

errno_t update_entrance_server(const abi::vni_off_entry& e) {
  {
    MutexHold hold(lock_mutext_server_socks);
    if (!server_socket[e.offset].sock) {
      // No path yet: only the saved entrance moves; the next 4000 builds the socket.
      save_entrance(e);
      note_entrance_update(e);
      return 0;
    }
  }
  errno_t err = 0;
  uint32_t ip = 0;
  ServerSock* s = open_entrance(e, &ip, &err);
  if (!s) return err;
  ServerSock* old;
  {
    MutexHold hold(lock_mutext_server_socks);
    save_entrance(e);
    note_entrance_update(e);
    old = server_socket[e.offset].sock;
    server_socket[e.offset].sock = s;
    server_socket[e.offset].entrance_ip = ip;
  }
  put(old);
  kctl_send2usr(abi::K2U_LOG, "test change udp socket (%s:%d) for offset %d", e.entrance_ip, e.port,
                e.offset);
  return 0;
}

void update_streamlimit(uint32_t limit) {
  klog("test 开始更新限速值");
  {
    MutexHold hold(lock_mutext_server_socks);
    for (auto& s : server_socket) s.stream_limit = limit;
    streamlimit_set = limit;
  }
  klog("test 限速值更新成功");
}

void send_original_ip_packet(const uint8_t* packet, size_t len, const abi::ippacket_desc_s& d) {
  if (d.offset >= abi::kPathOffsetCount) return;
  ServerSock* s;
  kext_frame_header h{};
  {
    MutexHold hold(lock_mutext_server_socks);
    server_socket_entry& e = server_socket[d.offset];
    s = e.sock;
    if (s) {
      s->refs.fetch_add(1);
      h.exit = e.exit;
      h.stream_limit = e.stream_limit;
      std::memcpy(h.nat, e.exit_nat, sizeof h.nat);
    }
  }
  if (!s) {
    req_path(d.offset, d.level, d.ip);
    return;
  }
  if (len > 0xffff) {
    put(s);
    return;
  }
  h.length = static_cast<uint32_t>(sizeof h + len);
  h.type = kFrameOut;
  h.vni = static_cast<uint32_t>(vni.load());
  h.level = d.level;
  // Header and packet leave as one datagram without being copied together first; the record
  // follows the frame.
  size_t sent = 0;
  errno_t r = k::sock_send2(s->so, &h, sizeof h, packet, len, &sent);
  ippacket_report(d, abi::K2U_DIR_OUT);
  if (r == EADDRNOTAVAIL) recreate_server_socket(d.offset, s);
  put(s);
}

void ippacket_report(const abi::ippacket_desc_s& d, char direction) {
  abi::k2u_ippacket_desc r{};
  r.desc = d;
  std::memset(r.desc.pad, 0, sizeof r.desc.pad);
  domain_of_ip(d.ip, r.domain, sizeof r.domain);
  r.direction = direction;
  kctl_send2user_bin(abi::K2U_IPPACKET, &r, sizeof r);
}

bool reduce_tcp_mss(uint8_t* p, size_t n) {
  if (!switch_is_on(&AVreduce_tcp_mss)) return false;
  ip_view v;
  if (!ip_parse(p, n, &v) || v.proto != IPPROTO_TCP || v.fragment) return false;
  uint8_t* tcp = p + v.hl;
  size_t l4 = v.len - v.hl;
  if (l4 < 20 || !(tcp[13] & 0x02)) return false;  // SYN
  size_t doff = static_cast<size_t>(tcp[12] >> 4) * 4;
  if (doff < 21 || doff > 59 || doff > l4) return false;
  uint8_t* opt = tcp + 20;
  size_t olen = doff - 20;
  uint8_t* mss_at = nullptr;
  for (size_t i = 0; i < olen;) {
    uint8_t kind = opt[i];
    if (kind == 0) break;
    if (kind == 1) {
      ++i;
      continue;
    }
    if (i + 1 >= olen) break;
    uint8_t l = opt[i + 1];
    if (l < 2 || i + l > olen) break;
    if (kind == 2 && l == 4) {
      mss_at = opt + i + 2;
      break;
    }
    i += l;
  }
  if (!mss_at) return false;
  uint16_t mss = rd16(mss_at);
  if (mss <= 128) return false;  // MSS less 128 would mean nothing
  int32_t floor = tcp_mss_local_min.load();
  bool syn_ack = tcp[13] & 0x10;
  uint16_t value = (syn_ack && floor >= 1 && mss > floor) ? static_cast<uint16_t>(floor)
                                                          : static_cast<uint16_t>(mss - 128);
  if (value == 0 || value == mss) return false;
  wr16(mss_at, value);
  if (value < floor) {
    tcp_mss_local_min.store(value);
    kctl_send2usr(abi::K2U_LOG, "set TCP MSS Local Min %d", value);
  }
  return true;
}

void server_socks_clear() {
  ServerSock* socks[abi::kPathOffsetCount];
  {
    MutexHold hold(lock_mutext_server_socks);
    for (int i = 0; i < abi::kPathOffsetCount; ++i) socks[i] = server_socket[i].sock;
    std::memset(server_socket, 0, sizeof server_socket);
    streamlimit_set = 0;
    entrance_updated[0] = 0;
  }
  for (auto* s : socks) put(s);
}

uint32_t last_streamlimit() {
  MutexHold hold(lock_mutext_server_socks);
  return streamlimit_set;
}

void last_entrance_update(char* out, size_t size) {
  MutexHold hold(lock_mutext_server_socks);
  copy_text(out, size, entrance_updated, sizeof entrance_updated);
}

size_t server_socket_count() {
  MutexHold hold(lock_mutext_server_socks);
  size_t n = 0;
  for (auto& s : server_socket) n += s.sock != nullptr;
  return n;
}

}  // namespace tamsel
