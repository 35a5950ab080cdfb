// A small "game" for the whole-system tests of the traffic filter: UDP, TCP and ICMP echoes and a
// DNS query on a connected socket, run in the order given, one result line each. Built under
// several names, since the filter selects processes by the name of their executable.
//
//   --udp IP:PORT       UDP echo on a connected socket (one socket per address, reused)
//   --tcp IP:PORT       TCP connect, echo, close
//   --ping IP           echo request on a ping socket (SOCK_DGRAM, IPPROTO_ICMP); a new one
//                       each time, unless --ping-open made one for IP
//   --ping-open IP      a ping socket for IP, bound (it has its echo id), nothing sent yet
//   --dns IP NAME       A query for NAME on a UDP socket connected to IP:53
//   --text TEXT         what the echoes carry (default "tslgame")
//   --tries N           UDP, ping and DNS sends before giving up (default 5)
//   --wait-ms N         time for each answer (default 400)
//   --pause             prints "paused" and waits for SIGUSR1
//   --stream IP:PORT    a game's steady UDP stream: one numbered datagram every --every-ms
//                       (default 20) on a connected socket until SIGUSR1 or --stream-ms (default
//                       120000) passes; prints "stream first-answer at=T", then "stream gap ms=G
//                       from=T0 to=T1" whenever an answer ends a silence longer than --gap-ms
//                       (default 200), and at the end "stream end sent=S answered=A
//                       longest-gap-ms=G" (times: milliseconds of CLOCK_MONOTONIC)
// Output lines: "udp IP:PORT ok tries=N", "tcp IP:PORT ok", "ping IP ok tries=N id=ID",
// "dns NAME rcode=R from IP a=A,B", or "<kind> ... fail <reason>". Exit status: failures (max 100).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "DnsAnswer.h"

namespace {

std::string g_text = "tslgame";
int g_tries = 5;
int g_wait_ms = 400;
std::map<std::string, int> g_udp;   // connected sockets by "ip:port"
std::map<std::string, int> g_ping;  // ping sockets opened ahead, by address
int g_every_ms = 20;
int g_gap_ms = 200;
long g_stream_ms = 120000;

bool parse_addr(const std::string& text, uint16_t default_port, sockaddr_in* out) {
  std::string ip = text;
  long port = default_port;
  auto colon = text.rfind(':');
  if (colon != std::string::npos) {
    ip = text.substr(0, colon);
    char* end = nullptr;
    port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (!end || *end || port <= 0 || port > 65535) return false;
  }
  *out = {};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return ::inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

std::string text_of(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return ip;
}

// One datagram within the wait, or -1.
ssize_t recv_within(int fd, void* buf, size_t cap, int ms, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, ms);
  if (r <= 0) return -1;
  socklen_t len = sizeof(sockaddr_in);
  return ::recvfrom(fd, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from),
                    from ? &len : nullptr);
}

int udp_socket_for(const std::string& target, const sockaddr_in& to, int* err) {
  auto it = g_udp.find(target);
  if (it != g_udp.end()) return it->second;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    *err = errno;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  g_udp[target] = fd;
  return fd;
}

bool udp_echo(const std::string& target) {
  sockaddr_in to;
  if (!parse_addr(target, 0, &to) || to.sin_port == 0) {
    std::printf("udp %s fail bad address\n", target.c_str());
    return false;
  }
  int err = 0;
  int fd = udp_socket_for(target, to, &err);
  if (fd < 0) {
    std::printf("udp %s fail socket %s\n", target.c_str(), std::strerror(err));
    return false;
  }
  char buf[2048];
  for (int t = 1; t <= g_tries; ++t) {
    if (::send(fd, g_text.data(), g_text.size(), 0) < 0) continue;
    ssize_t n = recv_within(fd, buf, sizeof buf, g_wait_ms);
    if (n == static_cast<ssize_t>(g_text.size()) &&
        std::memcmp(buf, g_text.data(), g_text.size()) == 0) {
      sockaddr_in local{};
      socklen_t len = sizeof local;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
      std::printf("udp %s ok tries=%d port=%u\n", target.c_str(), t, ntohs(local.sin_port));
      return true;
    }
  }
  std::printf("udp %s fail no answer\n", target.c_str());
  return false;
}

bool tcp_echo(const std::string& target) {
  sockaddr_in to;
  if (!parse_addr(target, 0, &to) || to.sin_port == 0) {
    std::printf("tcp %s fail bad address\n", target.c_str());
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A bound on connect and reads, so a lost path ends the run rather than hanging it.
  timeval tv{static_cast<time_t>(g_wait_ms * g_tries / 1000 + 1), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::printf("tcp %s fail connect %s\n", target.c_str(), std::strerror(errno));
    ::close(fd);
    return false;
  }
  bool ok =
      ::send(fd, g_text.data(), g_text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(g_text.size());
  std::string got;
  char buf[2048];
  while (ok && got.size() < g_text.size()) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  if (got != g_text) {
    std::printf("tcp %s fail echo\n", target.c_str());
    return false;
  }
  std::printf("tcp %s ok\n", target.c_str());
  return true;
}

bool ping(const std::string& target) {
  sockaddr_in to;
  if (!parse_addr(target, 0, &to)) {
    std::printf("ping %s fail bad address\n", target.c_str());
    return false;
  }
  int fd;
  if (auto kept = g_ping.find(target); kept != g_ping.end()) {
    fd = kept->second;
    g_ping.erase(kept);
  } else {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }
  if (fd < 0) {
    std::printf("ping %s fail socket %s\n", target.c_str(), std::strerror(errno));
    return false;
  }
  char buf[2048];
  for (int t = 1; t <= g_tries; ++t) {
    // The usual 56 bytes of data, as ping sends: the text, then zeroes.
    std::vector<uint8_t> req(8 + std::max<size_t>(56, g_text.size()));
    req[0] = ICMP_ECHO;
    req[7] = static_cast<uint8_t>(t);  // sequence; the kernel fills in id and checksum
    std::memcpy(req.data() + 8, g_text.data(), g_text.size());
    if (::sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
      continue;
    sockaddr_in from{};
    ssize_t n = recv_within(fd, buf, sizeof buf, g_wait_ms, &from);
    if (n >= 8 && static_cast<uint8_t>(buf[0]) == ICMP_ECHOREPLY &&
        from.sin_addr.s_addr == to.sin_addr.s_addr) {
      sockaddr_in local{};
      socklen_t len = sizeof local;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
      std::printf("ping %s ok tries=%d id=%u\n", target.c_str(), t, ntohs(local.sin_port));
      ::close(fd);
      return true;
    }
  }
  ::close(fd);
  std::printf("ping %s fail no answer\n", target.c_str());
  return false;
}

std::vector<uint8_t> dns_query(uint16_t id, const std::string& name) {
  std::vector<uint8_t> q = {
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    size_t len = dot - start;
    if (len == 0 || len > 63) break;
    q.push_back(static_cast<uint8_t>(len));
    q.insert(q.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

bool dns(const std::string& server, const std::string& name) {
  sockaddr_in to;
  if (!parse_addr(server, 53, &to)) {
    std::printf("dns %s fail bad address\n", name.c_str());
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::printf("dns %s fail socket %s\n", name.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  uint16_t id = static_cast<uint16_t>(::getpid() * 7 + 1);
  uint8_t buf[4096];
  for (int t = 1; t <= g_tries; ++t) {
    auto q = dns_query(static_cast<uint16_t>(id + t), name);
    if (::send(fd, q.data(), q.size(), 0) < 0) continue;
    sockaddr_in from{};
    ssize_t n = recv_within(fd, buf, sizeof buf, g_wait_ms, &from);
    // A connected socket takes answers only from the address it asked.
    if (n >= 12 && buf[0] == q[0] && buf[1] == q[1]) {
      std::printf("dns %s rcode=%d from %s a=%s tries=%d\n", name.c_str(), buf[3] & 0x0f,
                  text_of(from).c_str(), tsl::answerAddresses(buf, static_cast<size_t>(n)).c_str(),
                  t);
      ::close(fd);
      return true;
    }
  }
  ::close(fd);
  std::printf("dns %s fail no answer\n", name.c_str());
  return false;
}

long long now_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool usr1_pending() {
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) != 0 || !sigismember(&pending, SIGUSR1)) return false;
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, SIGUSR1);
  int sig = 0;
  sigwait(&one, &sig);
  return true;
}

bool stream(const std::string& target) {
  sockaddr_in to;
  if (!parse_addr(target, 0, &to) || to.sin_port == 0) {
    std::printf("stream %s fail bad address\n", target.c_str());
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::printf("stream %s fail socket %s\n", target.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  const long long start = now_ms();
  long long next = start, last_answer = -1, longest = 0;
  unsigned long sent = 0, answered = 0;
  char buf[2048];
  while (!usr1_pending() && now_ms() - start < g_stream_ms) {
    long long now = now_ms();
    if (now >= next) {
      std::string d = g_text + " " + std::to_string(sent);
      if (::send(fd, d.data(), d.size(), 0) >= 0) ++sent;
      next += g_every_ms;
      if (next < now) next = now + g_every_ms;  // after a stall, no burst to catch up
    }
    pollfd p{fd, POLLIN, 0};
    int wait = static_cast<int>(std::max(0LL, next - now_ms()));
    if (::poll(&p, 1, wait) != 1) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    // Only echoes of this stream count.
    if (n <= static_cast<ssize_t>(g_text.size()) || std::memcmp(buf, g_text.data(), g_text.size()))
      continue;
    long long at = now_ms();
    ++answered;
    if (last_answer < 0) {
      std::printf("stream first-answer at=%lld\n", at);
    } else if (at - last_answer > g_gap_ms) {
      std::printf("stream gap ms=%lld from=%lld to=%lld\n", at - last_answer, last_answer, at);
    }
    if (last_answer >= 0) longest = std::max(longest, at - last_answer);
    last_answer = at;
  }
  ::close(fd);
  std::printf("stream end sent=%lu answered=%lu longest-gap-ms=%lld\n", sent, answered, longest);
  return answered > 0;
}

void pause_for_signal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  std::printf("paused\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
}

int usage() {
  std::fprintf(stderr,
               "usage: tslgame [--text T] [--tries N] [--wait-ms N] [--udp IP:PORT] [--tcp "
               "IP:PORT] [--ping IP] [--dns IP NAME] [--pause] [--every-ms N] [--gap-ms N] "
               "[--stream-ms N] [--stream IP:PORT] ...\n");
  return 100;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGUSR1 is only ever taken by sigwait.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--pause") {
      pause_for_signal();
      continue;
    }
    const char* v = next();
    if (!v) return usage();
    if (a == "--text") {
      g_text = v;
    } else if (a == "--tries") {
      g_tries = std::max(1, std::atoi(v));
    } else if (a == "--wait-ms") {
      g_wait_ms = std::max(1, std::atoi(v));
    } else if (a == "--every-ms") {
      g_every_ms = std::max(1, std::atoi(v));
    } else if (a == "--gap-ms") {
      g_gap_ms = std::max(1, std::atoi(v));
    } else if (a == "--stream-ms") {
      g_stream_ms = std::max(1L, std::atol(v));
    } else if (a == "--stream") {
      failures += !stream(v);
    } else if (a == "--udp") {
      failures += !udp_echo(v);
    } else if (a == "--tcp") {
      failures += !tcp_echo(v);
    } else if (a == "--ping") {
      failures += !ping(v);
    } else if (a == "--ping-open") {
      int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
      sockaddr_in any{};
      any.sin_family = AF_INET;
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        std::printf("ping %s fail socket %s\n", v, std::strerror(errno));
        ++failures;
      } else {
        g_ping[v] = fd;
      }
    } else if (a == "--dns") {
      const char* name = next();
      if (!name) return usage();
      failures += !dns(v, name);
    } else {
      return usage();
    }
  }
  for (auto& [k, fd] : g_udp) ::close(fd);
  return std::min(failures, 100);
}
