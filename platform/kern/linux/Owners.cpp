#include "Owners.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform::kern::linux_backend {

namespace {

constexpr size_t kNameMax = 31;

// One request, its answers until NLMSG_DONE or an error; each whole answer (an inet_diag_msg and
// its attributes, length already checked) goes to `take`.
template <typename Take>
bool diag_query_answers(const inet_diag_req_v2& req, uint16_t flags, Take take) {
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  timeval tv{1, 0};  // the kernel answers at once; this only bounds a broken socket
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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
  bool done = false, ok = true;
  while (!done) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    size_t left = static_cast<size_t>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        done = true;
        ok = false;  // ENOENT for an exact lookup that found nothing
        break;
      }
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      take(static_cast<const char*>(NLMSG_DATA(h)), h->nlmsg_len - NLMSG_LENGTH(0));
      if (!(flags & NLM_F_DUMP)) done = true;
    }
  }
  ::close(fd);
  return ok;
}

template <typename Take>
bool diag_query(const inet_diag_req_v2& req, uint16_t flags, Take take) {
  return diag_query_answers(req, flags, [&](const char* data, size_t) {
    inet_diag_msg m;
    std::memcpy(&m, data, sizeof m);  // netlink payloads are only 4-byte aligned
    take(m);
  });
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
    diag_query(req, 0, [&](const inet_diag_msg& m) {
      out->cookie = cookie_of(m);
      out->inode = m.idiag_inode;
      out->connected = true;
      got = true;
    });
    return got && out->inode != 0;
  }
  if (key.protocol != IPPROTO_UDP) return false;
  // UDP: every socket on the local port; a socket connected to this peer wins over an unconnected
  // one (several may share the port).
  SocketIdentity best;
  int best_rank = 0;
  diag_query(req, NLM_F_DUMP, [&](const inet_diag_msg& m) {
    if (ntohs(m.id.idiag_sport) != key.local_port) return;
    uint32_t src = m.id.idiag_src[0];
    if (src != 0 && src != key.local_addr) return;
    bool connected = m.id.idiag_dst[0] != 0 || m.id.idiag_dport != 0;
    int rank;
    if (connected) {
      if (m.id.idiag_dst[0] != key.remote_addr || ntohs(m.id.idiag_dport) != key.remote_port)
        return;
      rank = 2;
    } else {
      rank = 1;
    }
    if (rank > best_rank) {
      best_rank = rank;
      best.cookie = cookie_of(m);
      best.inode = m.idiag_inode;
      best.connected = connected;
    }
  });
  if (!best_rank || !best.inode) return false;
  *out = best;
  return true;
}

bool tcp_info_from_answer(const char* data, size_t len, TcpTimes* out) {
  const size_t head = NLMSG_ALIGN(sizeof(inet_diag_msg));
  if (!data || len < head) return false;
  size_t left = len - head;
  // Walked by hand, not with RTA_NEXT: its length arithmetic trusts rta_len.
  const char* p = data + head;
  while (left >= sizeof(rtattr)) {
    rtattr a;
    std::memcpy(&a, p, sizeof a);
    if (a.rta_len < sizeof(rtattr) || a.rta_len > left) return false;
    if (a.rta_type == INET_DIAG_INFO) {
      // Older kernels send a shorter tcp_info; the round-trip times are among its first fields.
      constexpr size_t need = offsetof(tcp_info, tcpi_rtt) + sizeof(uint32_t);
      size_t n = a.rta_len - sizeof(rtattr);
      if (n < need) return false;
      tcp_info info{};
      std::memcpy(&info, p + sizeof(rtattr), std::min(n, sizeof info));
      out->srtt_us = info.tcpi_rtt;
      return true;
    }
    size_t step = RTA_ALIGN(a.rta_len);
    if (step >= left) break;
    p += step;
    left -= step;
  }
  return false;
}

bool tcp_times(const FlowKey& key, TcpTimes* out) {
  if (key.protocol != IPPROTO_TCP) return false;
  inet_diag_req_v2 req = exact_tcp_request(key);
  req.idiag_ext = 1u << (INET_DIAG_INFO - 1);
  bool got = false;
  diag_query_answers(
      req, 0, [&](const char* data, size_t len) { got = tcp_info_from_answer(data, len, out); });
  return got;
}

uint64_t proc_net_inode_for_port(const std::string& table, uint16_t port) {
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
    unsigned long p = std::strtoul(local.c_str() + colon + 1, &end, 16);
    if (*end || p != port) continue;
    if (!all_digits(inode.c_str())) continue;
    return std::strtoull(inode.c_str(), nullptr, 10);
  }
  return 0;
}

bool find_ping_socket(uint16_t echo_id, SocketIdentity* out) {
  std::ifstream f("/proc/net/icmp");
  std::stringstream s;
  s << f.rdbuf();
  uint64_t inode = proc_net_inode_for_port(s.str(), echo_id);
  if (!inode) return false;
  out->inode = inode;
  out->cookie = inode | (1ull << 63);  // ping sockets have no diag cookie; inodes are unique
  out->connected = false;
  return true;
}

pid_t find_owner(uint64_t inode, const std::string& names_first) {
  const std::string want = "socket:[" + std::to_string(inode) + "]";
  DIR* d = ::opendir("/proc");
  if (!d) return 0;
  std::vector<pid_t> pids;
  while (dirent* e = ::readdir(d))
    if (all_digits(e->d_name)) pids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
  ::closedir(d);
  if (!names_first.empty()) {
    for (pid_t p : pids)
      if (process_name(p) == names_first && holds_inode(p, want)) return p;
  }
  for (pid_t p : pids)
    if (holds_inode(p, want)) return p;
  return 0;
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
