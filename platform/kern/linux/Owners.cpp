#include "Owners.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace platform::kern::linux_backend {

namespace {

constexpr size_t kNameMax = 31;

int open_diag_socket() {
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  timeval tv{1, 0};  // the kernel answers at once; this only bounds a broken socket
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// One request, its answers until NLMSG_DONE or an error, each to `take`. false when the request
// failed (an exact lookup that finds nothing ends in an error: ENOENT).
bool diag_query(const inet_diag_req_v2& req, uint16_t flags,
                const std::function<void(const DiagSocket&)>& take) {
  int fd = open_diag_socket();
  if (fd < 0) return false;
  struct {
    nlmsghdr h;
    inet_diag_req_v2 r;
  } msg{};
  msg.h.nlmsg_len = sizeof msg;
  msg.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  msg.h.nlmsg_seq = 1;
  msg.r = req;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    ::close(fd);
    return false;
  }
  std::vector<char> buf(32768);
  bool ok = true;
  bool got_error = false;
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bool more = parse_diag_datagram(buf.data(), static_cast<size_t>(n), req.sdiag_protocol,
                                    [&](const DiagSocket& d) {
                                      if (d.cookie == ~0ull) {
                                        got_error = true;
                                        return;
                                      }
                                      take(d);
                                    });
    if (!more || !(flags & NLM_F_DUMP)) break;
  }
  ::close(fd);
  return ok && !got_error;
}

inet_diag_req_v2 exact_tcp_request(const FlowKey& key) {
  inet_diag_req_v2 req{};
  req.sdiag_family = AF_INET;
  req.sdiag_protocol = IPPROTO_TCP;
  req.idiag_states = ~0u;
  req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  req.id.idiag_sport = htons(key.local_port);
  req.id.idiag_dport = htons(key.remote_port);
  req.id.idiag_src[0] = key.local_addr;
  req.id.idiag_dst[0] = key.remote_addr;
  return req;
}

uint64_t cookie_of(const inet_diag_msg& m) {
  return static_cast<uint64_t>(m.id.idiag_cookie[0]) |
         (static_cast<uint64_t>(m.id.idiag_cookie[1]) << 32);
}

std::string read_first_line(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

bool all_digits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

bool holds_inode(pid_t pid, const std::string& want) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;  // gone, or not ours to read
  bool found = false;
  char target[64];
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string link = dir + "/" + e->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (want == target) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace

namespace {

bool read_status_uids(pid_t pid, uid_t* real, uid_t* effective) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[2048];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  return status_uids(buf, real, effective);
}

// The users of root-owned process folders, read once per process: a folder's inode number is
// the process's for its whole life, so a pid used again by a new process is read again.
struct StatusUids {
  ino_t ino;
  uid_t real, effective;
};
std::mutex g_status_m;
std::unordered_map<pid_t, StatusUids> g_status_uids;

}  // namespace

bool runs_as(pid_t pid, uid_t uid) {
  uid_t real, effective;
  return read_status_uids(pid, &real, &effective) && (real == uid || effective == uid);
}

bool status_uids(const char* status, uid_t* real, uid_t* effective) {
  const char* line = std::strstr(status, "\nUid:");
  if (!line) return false;
  unsigned long r, e;
  if (std::sscanf(line + 5, "%lu %lu", &r, &e) != 2 || r > 0xffffffffUL || e > 0xffffffffUL)
    return false;
  *real = static_cast<uid_t>(r);
  *effective = static_cast<uid_t>(e);
  return true;
}

bool find_socket(const FlowKey& key, SocketIdentity* out) {
  inet_diag_req_v2 req{};
  req.sdiag_family = AF_INET;
  req.sdiag_protocol = key.protocol;
  req.idiag_states = ~0u;
  req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (key.protocol == IPPROTO_TCP) {
    req = exact_tcp_request(key);
    bool got = false;
    diag_query(req, 0, [&](const DiagSocket& d) {
      out->cookie = d.cookie;
      out->inode = d.inode;
      out->uid = d.uid;
      out->connected = true;
      got = true;
    });
    return got && out->inode != 0;
  }
  if (key.protocol != IPPROTO_UDP) return false;
  // UDP: a socket connected to this peer wins over an unconnected one (several may share the
  // port). First the kernel's own choice, as for a datagram from the peer, which costs the same
  // however many sockets the host has; the address fields of that lookup name the datagram's
  // source first, that is the peer. Then, when it found none of ours (a socket bound to a
  // device, say), every socket on the port.
  SocketIdentity best;
  int best_rank = 0;
  inet_diag_req_v2 one = req;
  one.id.idiag_src[0] = key.remote_addr;
  one.id.idiag_sport = htons(key.remote_port);
  one.id.idiag_dst[0] = key.local_addr;
  one.id.idiag_dport = htons(key.local_port);
  auto consider = [&](const DiagSocket& d) {
    if (d.key.local_port != key.local_port) return;
    if (d.key.local_addr != 0 && d.key.local_addr != key.local_addr) return;
    bool connected = d.key.remote_addr != 0 || d.key.remote_port != 0;
    int rank;
    if (connected) {
      if (d.key.remote_addr != key.remote_addr || d.key.remote_port != key.remote_port) return;
      rank = 2;
    } else {
      rank = 1;
    }
    if (rank > best_rank) {
      best_rank = rank;
      best.cookie = d.cookie;
      best.inode = d.inode;
      best.uid = d.uid;
      best.connected = connected;
    }
  };
  diag_query(one, 0, consider);
  if (!best_rank || !best.inode) {
    best_rank = 0;
    diag_query(req, NLM_F_DUMP, consider);
  }
  if (!best_rank || !best.inode) return false;
  *out = best;
  return true;
}

bool parse_diag_answer(const char* data, size_t len, uint8_t protocol, DiagSocket* out) {
  const size_t head = NLMSG_ALIGN(sizeof(inet_diag_msg));
  if (!data || len < sizeof(inet_diag_msg)) return false;
  inet_diag_msg m;
  std::memcpy(&m, data, sizeof m);  // netlink payloads are only 4-byte aligned
  *out = DiagSocket{};
  out->key.protocol = protocol;
  out->key.local_addr = m.id.idiag_src[0];
  out->key.local_port = ntohs(m.id.idiag_sport);
  out->key.remote_addr = m.id.idiag_dst[0];
  out->key.remote_port = ntohs(m.id.idiag_dport);
  out->cookie = cookie_of(m);
  out->inode = m.idiag_inode;
  out->uid = m.idiag_uid;
  out->state = m.idiag_state;
  if (len <= head) return true;
  size_t left = len - head;
  // Walked by hand, not with RTA_NEXT: its length arithmetic trusts rta_len.
  const char* p = data + head;
  while (left >= sizeof(rtattr)) {
    rtattr a;
    std::memcpy(&a, p, sizeof a);
    if (a.rta_len < sizeof(rtattr) || a.rta_len > left) return false;
    if (a.rta_type == INET_DIAG_PROTOCOL && a.rta_len > sizeof(rtattr)) {
      uint8_t proto;
      std::memcpy(&proto, p + sizeof(rtattr), 1);
      out->key.protocol = proto;
    } else if (a.rta_type == INET_DIAG_INFO && protocol != IPPROTO_UDP) {
      // Older kernels send a shorter tcp_info: take what came, and only fields wholly inside it.
      constexpr size_t need = offsetof(tcp_info, tcpi_rtt) + sizeof(uint32_t);
      constexpr size_t need_bytes = offsetof(tcp_info, tcpi_bytes_retrans) + sizeof(uint64_t);
      size_t n = a.rta_len - sizeof(rtattr);
      if (n >= need) {
        tcp_info info{};
        std::memcpy(&info, p + sizeof(rtattr), std::min(n, sizeof info));
        out->has_info = true;
        out->srtt_us = info.tcpi_rtt;
        if (n >= need_bytes) {
          out->has_bytes = true;
          out->bytes_sent =
              info.tcpi_bytes_sent - std::min(info.tcpi_bytes_sent, info.tcpi_bytes_retrans);
          out->bytes_received = info.tcpi_bytes_received;
        }
      }
    }
    size_t step = RTA_ALIGN(a.rta_len);
    if (step >= left) break;
    p += step;
    left -= step;
  }
  if (out->key.protocol != IPPROTO_TCP) {
    out->has_info = out->has_bytes = false;
    out->srtt_us = 0;
    out->bytes_sent = out->bytes_received = 0;
  }
  return true;
}

bool parse_diag_datagram(const char* data, size_t len, uint8_t protocol,
                         const std::function<void(const DiagSocket&)>& take) {
  size_t left = len;
  const char* p = data;
  while (data && left >= sizeof(nlmsghdr)) {
    nlmsghdr h;
    std::memcpy(&h, p, sizeof h);
    if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > left) return false;
    if (h.nlmsg_type == NLMSG_DONE) return false;
    if (h.nlmsg_type == NLMSG_ERROR) {
      DiagSocket error;
      error.cookie = ~0ull;  // tells diag_query the request failed
      take(error);
      return false;
    }
    if (h.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
      DiagSocket d;
      if (parse_diag_answer(p + NLMSG_HDRLEN,
                            h.nlmsg_len - std::min<size_t>(h.nlmsg_len, NLMSG_HDRLEN), protocol,
                            &d))
        take(d);
    }
    size_t step = NLMSG_ALIGN(h.nlmsg_len);
    if (step >= left) break;
    p += step;
    left -= step;
  }
  return true;
}

bool tcp_info_from_answer(const char* data, size_t len, TcpTimes* out) {
  DiagSocket d;
  if (!parse_diag_answer(data, len, IPPROTO_TCP, &d) || !d.has_info) return false;
  out->srtt_us = d.srtt_us;
  return true;
}

bool tcp_lookup(const FlowKey& key, DiagSocket* out) {
  if (key.protocol != IPPROTO_TCP) return false;
  inet_diag_req_v2 req = exact_tcp_request(key);
  req.idiag_ext = 1u << (INET_DIAG_INFO - 1);
  bool got = false;
  diag_query(req, 0, [&](const DiagSocket& d) {
    *out = d;
    got = true;
  });
  return got;
}

bool tcp_times(const FlowKey& key, TcpTimes* out) {
  DiagSocket d;
  if (!tcp_lookup(key, &d) || !d.has_info) return false;
  out->srtt_us = d.srtt_us;
  return true;
}

bool dump_sockets(uint8_t protocol, const std::function<void(const DiagSocket&)>& take) {
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return false;
  inet_diag_req_v2 req{};
  req.sdiag_family = AF_INET;
  req.sdiag_protocol = protocol;
  req.idiag_states = ~0u;
  return diag_query(req, NLM_F_DUMP, take);
}

DestroyEvents::~DestroyEvents() { close(); }

int DestroyEvents::open() {
  if (fd_ >= 0) return 0;
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
  if (fd < 0) return errno;
  sockaddr_nl me{};
  me.nl_family = AF_NETLINK;
  int big = 4 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  for (int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET_UDP_DESTROY}) {
    if (::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      int e = errno;
      ::close(fd);
      return e;
    }
  }
  fd_ = fd;
  return 0;
}

void DestroyEvents::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DestroyEvents::read(const std::function<void(const DiagSocket&)>& take) {
  if (fd_ < 0) return true;
  std::vector<char> buf(65536);
  bool complete = true;
  for (;;) {
    sockaddr_nl from{};
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        complete = false;
        continue;
      }
      break;  // EAGAIN: nothing more waiting
    }
    if (from.nl_pid != 0) continue;  // only the kernel speaks on these groups
    // The message head has no protocol: an event names it in an attribute.
    parse_diag_datagram(buf.data(), static_cast<size_t>(n), 0, [&](const DiagSocket& d) {
      if (d.cookie != ~0ull) take(d);
    });
  }
  return complete;
}

namespace {

// Each entry of a /proc/net table (after its header line) as (local port, inode, uid); lines that
// don't parse are skipped.
template <typename Take>
void proc_net_entries(const std::string& table, Take take) {
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
    std::istringstream f(line);
    std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
    if (!(f >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode))
      continue;
    size_t colon = local.find(':');
    if (colon == std::string::npos || colon + 1 >= local.size() || local.size() - colon > 5)
      continue;
    char* end = nullptr;
    unsigned long port = std::strtoul(local.c_str() + colon + 1, &end, 16);
    if (*end || !all_digits(inode.c_str()) || inode.size() > 19) continue;
    if (!all_digits(uid.c_str()) || uid.size() > 10) continue;
    unsigned long long user = std::strtoull(uid.c_str(), nullptr, 10);
    if (user > 0xffffffffull) continue;
    if (!take(static_cast<uint16_t>(port), std::strtoull(inode.c_str(), nullptr, 10),
              static_cast<uid_t>(user)))
      return;
  }
}

std::string file_text(const char* path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool same_name(const std::string& listed, const std::string& process) {
  // As the filter compares names: without case, on their first 24 bytes.
  return ::strncasecmp(listed.c_str(), process.c_str(), 24) == 0;
}

}  // namespace

uint64_t proc_net_inode_for_port(const std::string& table, uint16_t port, uid_t* uid) {
  uint64_t found = 0;
  proc_net_entries(table, [&](uint16_t p, uint64_t inode, uid_t user) {
    if (p != port) return true;
    found = inode;
    if (uid) *uid = user;
    return false;
  });
  return found;
}

std::vector<uint64_t> proc_net_inodes_for_port(const std::string& table, uint16_t port,
                                               std::vector<uid_t>* uids) {
  std::vector<uint64_t> found;
  proc_net_entries(table, [&](uint16_t p, uint64_t inode, uid_t user) {
    if (p == port && inode) {
      found.push_back(inode);
      if (uids) uids->push_back(user);
    }
    return true;
  });
  return found;
}

std::vector<uint64_t> proc_net_inodes(const std::string& table) {
  std::vector<uint64_t> found;
  proc_net_entries(table, [&](uint16_t, uint64_t inode, uid_t) {
    if (inode) found.push_back(inode);
    return true;
  });
  return found;
}

bool find_ping_socket(uint16_t echo_id, SocketIdentity* out) {
  uid_t uid = 0;
  uint64_t inode = proc_net_inode_for_port(file_text("/proc/net/icmp"), echo_id, &uid);
  if (!inode) return false;
  out->inode = inode;
  out->uid = uid;
  out->cookie = icmp_cookie(inode);
  out->connected = false;
  return true;
}

bool find_raw_icmp_socket(uint16_t echo_id, const OwnerScope& scope, SocketIdentity* out,
                          pid_t* owner, uid_t uid) {
  // A raw socket's "port" in the table is its protocol.
  std::vector<uid_t> uids;
  std::vector<uint64_t> inodes =
      proc_net_inodes_for_port(file_text("/proc/net/raw"), IPPROTO_ICMP, &uids);
  std::vector<std::pair<uint64_t, pid_t>> held;
  for (size_t i = 0; i < inodes.size(); ++i) {
    if (uid != kAnyUid && uids[i] != uid) continue;  // another user's: never ours
    if (pid_t pid = find_owner(inodes[i], scope, uids[i])) held.emplace_back(inodes[i], pid);
  }
  const std::pair<uint64_t, pid_t>* pick = nullptr;
  if (held.size() == 1) {
    pick = &held[0];
  } else {
    for (const auto& h : held)
      if ((static_cast<uint32_t>(h.second) & 0xffff) == echo_id) {
        pick = &h;
        break;
      }
  }
  if (!pick) return false;
  out->inode = pick->first;
  out->cookie = icmp_cookie(pick->first);
  out->connected = false;
  out->uid = uids[static_cast<size_t>(std::find(inodes.begin(), inodes.end(), pick->first) -
                                      inodes.begin())];
  *owner = pick->second;
  return true;
}

std::vector<uint64_t> icmp_socket_inodes() {
  std::vector<uint64_t> all = proc_net_inodes(file_text("/proc/net/icmp"));
  for (uint64_t inode : proc_net_inodes_for_port(file_text("/proc/net/raw"), IPPROTO_ICMP))
    all.push_back(inode);
  return all;
}

OwnerScope OwnerScope::from_names(std::vector<std::string> listed) {
  OwnerScope s;
  s.all = std::find(listed.begin(), listed.end(), "*") != listed.end();
  s.names = std::move(listed);
  return s;
}

bool OwnerScope::admits(const std::string& process) const {
  if (all) return true;
  for (const auto& n : names)
    if (same_name(n, process)) return true;
  return false;
}

namespace {

// The process each user's last socket was found in: a program opening connection after
// connection, or a game its sockets, is found there again without a walk over every process.
std::mutex g_recent_m;
std::unordered_map<uid_t, pid_t> g_recent_owner;
constexpr size_t kRecentOwners = 1024;

pid_t recent_owner(uid_t uid) {
  std::lock_guard g(g_recent_m);
  auto it = g_recent_owner.find(uid);
  return it == g_recent_owner.end() ? 0 : it->second;
}

pid_t note_owner(uid_t uid, pid_t pid) {
  std::lock_guard g(g_recent_m);
  if (g_recent_owner.size() >= kRecentOwners) g_recent_owner.clear();
  g_recent_owner[uid] = pid;
  return pid;
}

// Whether the walk below would look at the process for `uid`: its folder is that user's, or
// root's while the process runs as that user.
bool walk_admits(pid_t pid, uid_t uid) {
  if (uid == kAnyUid) return true;
  struct stat st;
  const std::string dir = "/proc/" + std::to_string(pid);
  if (::stat(dir.c_str(), &st) != 0) return false;
  if (st.st_uid == uid) return true;
  return st.st_uid == 0 && runs_as(pid, uid);
}

}  // namespace

pid_t find_owner(uint64_t inode, const OwnerScope& scope, uid_t uid) {
  const std::string want = "socket:[" + std::to_string(inode) + "]";
  // The last owner first, with every check the walk makes: a holder the walk could return.
  if (pid_t recent = recent_owner(uid); recent && walk_admits(recent, uid)) {
    OwnerScope listed = scope;
    listed.all = false;
    bool in_scope = scope.names.empty() ? scope.all : !listed_name(recent, listed).empty();
    if (in_scope && holds_inode(recent, want)) return recent;
  }
  int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return 0;
  DIR* d = ::fdopendir(proc);
  if (!d) {
    ::close(proc);
    return 0;
  }
  std::vector<pid_t> pids;
  std::unique_lock status(g_status_m, std::defer_lock);
  std::unordered_map<pid_t, StatusUids> seen;  // this walk's root-owned folders
  if (uid != kAnyUid && uid != 0) status.lock();
  while (dirent* e = ::readdir(d)) {
    if (!all_digits(e->d_name) || std::strlen(e->d_name) >= 10) continue;
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    // A process's folder belongs to the user it runs as (root when it may not be inspected, as
    // after a change of identity): other users' processes are skipped without reading their
    // descriptors.
    struct stat st;
    if (uid != kAnyUid && ::fstatat(proc, e->d_name, &st, 0) != 0) continue;
    if (uid != kAnyUid && st.st_uid != uid) {
      if (st.st_uid != 0) continue;
      auto known = g_status_uids.find(pid);
      StatusUids u{st.st_ino, 0, 0};
      if (known != g_status_uids.end() && known->second.ino == st.st_ino)
        u = known->second;
      else if (!read_status_uids(pid, &u.real, &u.effective))
        continue;
      seen[pid] = u;
      if (u.real != uid && u.effective != uid) continue;
    }
    pids.push_back(pid);
  }
  ::closedir(d);
  if (status.owns_lock()) {
    g_status_uids.swap(seen);  // processes gone are forgotten
    status.unlock();
  }
  // Listed names first: their few processes are where a filtered socket is found.
  if (!scope.names.empty()) {
    OwnerScope listed = scope;
    listed.all = false;
    for (pid_t p : pids)
      if (!listed_name(p, listed).empty() && holds_inode(p, want)) return note_owner(uid, p);
  }
  if (!scope.all) return 0;
  for (pid_t p : pids)
    if (holds_inode(p, want)) return note_owner(uid, p);
  return 0;
}

std::string argv0_name(const char* cmdline, size_t len) {
  // argv[0] ends at the first NUL (or the end of what was read).
  size_t end = 0;
  while (end < len && cmdline[end]) ++end;
  // Programs started for another system name themselves with backslashes.
  size_t start = end;
  while (start > 0 && cmdline[start - 1] != '/' && cmdline[start - 1] != '\\') --start;
  std::string name(cmdline + start, end - start);
  if (name.size() > kNameMax) name.resize(kNameMax);
  return name;
}

static std::string process_argv0_name(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buf[4096];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return n > 0 ? argv0_name(buf, static_cast<size_t>(n)) : "";
}

std::string listed_name(pid_t pid, const OwnerScope& scope) {
  std::string exe = process_name(pid);
  if (exe.empty() || scope.admits(exe)) return exe;
  std::string argv0 = process_argv0_name(pid);
  if (!argv0.empty() && scope.admits(argv0)) return argv0;
  return "";
}

std::string process_name(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  char exe[4096];
  ssize_t n = ::readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
  std::string name;
  if (n > 0) {
    exe[n] = 0;
    std::string path = exe;
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
      path.resize(path.size() - deleted.size());
    size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  if (name.empty()) name = read_first_line(base + "/comm");
  if (name.size() > kNameMax) name.resize(kNameMax);
  return name;
}

}  // namespace platform::kern::linux_backend
