// The far side of the whole-system tests: UDP and TCP echo servers and DNS servers on given
// addresses, one thread, one log line per datagram or connection with the peer it came from (so a
// test tells tunnelled traffic, which arrives from the relay, from direct traffic).
//
//   --udp IP:PORT                 UDP echo
//   --tcp IP:PORT                 TCP echo
//   --dns IP:PORT[,nxdomain]      DNS server over the A records given with --a
//   --a NAME=IPV4                 an A record of the next --dns server
//   --quiet 1                     no line per datagram or connection
// Prints "serving" once every socket is bound; then lines such as "udp 203.0.113.10:7000 from
// 203.0.113.254:4321", "tcp ... from ...", "dns 203.0.113.54:53 from ... name=NAME size=N".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin/DnsStandin.h"

namespace {

enum class Kind { kUdp, kTcpListen, kTcp, kDns };

struct Server {
  Kind kind;
  int fd;
  std::string local;
  std::shared_ptr<standin::DnsStandin> dns;
};

std::string text_of(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

bool parse_addr(const std::string& text, sockaddr_in* out) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  *out = {};
  out->sin_family = AF_INET;
  long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

int bound(int type, const std::string& where) {
  sockaddr_in a;
  if (!parse_addr(where, &a)) return -1;
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 16) != 0)) {
    std::fprintf(stderr, "tsl-servers: cannot serve %s\n", where.c_str());
    std::exit(1);
  }
  return fd;
}

// The question name of a query, for the log; "?" when it does not parse.
std::string question(const uint8_t* p, size_t n) {
  uint16_t id;
  std::string error;
  auto q = standin::parseDnsQuery(p, n, &id, &error);
  return q ? q->name : "?";
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Server> servers;
  std::vector<std::pair<std::string, std::string>> records;
  bool quiet = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--quiet") {
      quiet = v == "1";
    } else if (a == "--udp") {
      servers.push_back({Kind::kUdp, bound(SOCK_DGRAM, v), v, nullptr});
    } else if (a == "--tcp") {
      servers.push_back({Kind::kTcpListen, bound(SOCK_STREAM, v), v, nullptr});
    } else if (a == "--a") {
      auto eq = v.find('=');
      if (eq == std::string::npos) return 2;
      records.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--dns") {
      auto comma = v.find(',');
      std::string where = v.substr(0, comma);
      auto dns = std::make_shared<standin::DnsStandin>();
      for (auto& [name, ip] : records)
        if (!dns->addA(name, ip)) return 2;
      if (comma != std::string::npos) {
        if (v.substr(comma + 1) != "nxdomain") return 2;
        dns->setMode(standin::DnsStandin::Mode::kNxdomain);
      }
      servers.push_back({Kind::kDns, bound(SOCK_DGRAM, where), where, dns});
      records.clear();
    } else {
      std::fprintf(stderr, "tsl-servers: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  std::printf("serving\n");
  std::vector<uint8_t> buf(65536);
  for (;;) {
    std::vector<pollfd> p;
    for (auto& s : servers) p.push_back({s.fd, POLLIN, 0});
    if (::poll(p.data(), p.size(), -1) < 0) continue;
    std::vector<Server> added;
    for (size_t i = 0; i < p.size(); ++i) {
      if (!p[i].revents) continue;
      Server& s = servers[i];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      if (s.kind == Kind::kTcpListen) {
        int c = ::accept4(s.fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
        if (c < 0) continue;
        if (!quiet) std::printf("tcp %s from %s\n", s.local.c_str(), text_of(from).c_str());
        added.push_back({Kind::kTcp, c, s.local, nullptr});
        continue;
      }
      if (s.kind == Kind::kTcp) {
        ssize_t n = ::recv(s.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
          ::send(s.fd, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          ::close(s.fd);
          s.fd = -1;
        }
        continue;
      }
      ssize_t n = ::recvfrom(s.fd, buf.data(), buf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      size_t size = static_cast<size_t>(n);
      if (s.kind == Kind::kUdp) {
        if (!quiet) std::printf("udp %s from %s\n", s.local.c_str(), text_of(from).c_str());
        ::sendto(s.fd, buf.data(), size, 0, reinterpret_cast<sockaddr*>(&from), len);
        continue;
      }
      if (!quiet)
        std::printf("dns %s from %s name=%s size=%zu\n", s.local.c_str(), text_of(from).c_str(),
                    question(buf.data(), size).c_str(), size);
      auto answer = s.dns->answer(buf.data(), size);
      if (!answer.empty())
        ::sendto(s.fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
    std::vector<Server> keep;
    for (auto& s : servers)
      if (s.fd >= 0) keep.push_back(s);
    for (auto& s : added) keep.push_back(s);
    servers.swap(keep);
  }
}
