// standin-relay: the entrance relay stand-in as a program, for scripts and system tests.
//
//   standin-relay --listen IP:PORT [--listen IP:PORT ...] [options]
//
//   --listen IP:PORT        serve this exact address and port (port 0 picks a free one); each
//                           bound pair is printed as "standin-relay serving IP:PORT"; answers
//                           leave from the pair that was asked
//   --record FILE           append every frame seen or sent as one JSON line (without it no
//                           frame is recorded at all; see recordJSON:
//                           dir, local, peer, type, length, size, body in hex, note; type-400
//                           frames also exit, rx, tx, flow_id, level, nat and nat_address (the
//                           dotted address a dotted or Base64 NAT text names); 400 and 401
//                           frames "inner", a one-line summary of the IPv4 packet)
//   --fragment-mtu N        split 401 answers so each inner packet fits N bytes
//   --switch IP:PORT=NAME[,NAME...]
//                           misbehave on one pair: silent, silent-heartbeat, slow-MS (answer
//                           MS ms late), garbage, wrong-type, wrong-length, detect-not-object,
//                           detect-zero-total, ip-overclaim, twice or copies-N (send each
//                           answer N times)
//   --detect IP[:PORT],NAT,DELAY,REPLY,TOTAL
//                           301 figures for 300 requests to IP (or only to IP:PORT) naming NAT
//                           ("*" for any); DELAY in microseconds
//   --detect-body IP[:PORT],NAT,TEXT
//                           301 body sent verbatim (TEXT may hold commas)
//   --control PATH          runtime control: a Unix stream socket made at PATH (mode 0600, nothing
//                           may exist there yet; removed at the end) that takes lines of at most
//                           256 bytes from this user: "switch IP:PORT=NAME[,NAME...]" with the
//                           --switch names or "normal" (all off). Each line is answered "ok" or
//                           "error: REASON"; a change is recorded as a "switch NAMES" note with
//                           its time.
//   --tun NAME --tun-net ADDRESS/PREFIX
//                           TUN mode (root): 400 frames whose inner packet is not UDP (TCP,
//                           ICMP) are written to a new TUN device NAME, which gets ADDRESS/PREFIX
//                           (e.g. 192.0.2.1/24) and is brought up. Each client's inner source
//                           address becomes an address of its own from that subnet (ports and
//                           ICMP ids unchanged), so what the kernel routes back into the device
//                           returns to that client, original address restored, in 401 frames.
//                           UDP keeps going out on sockets. The namespace must forward IPv4
//                           (net.ipv4.ip_forward=1) and the far side must route the subnet back
//                           to this namespace. Prints "standin-relay tun NAME up" when ready; the
//                           device goes away when the relay ends.
//
// SIGINT or SIGTERM ends it with status 0; bad options give status 2, a failed bind status 1.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "standin/relay/Control.h"
#include "standin/relay/Relay.h"

namespace {
std::optional<long long> number(const std::string& text, long long lo, long long hi) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return std::nullopt;
  return v;
}

bool splitPair(const std::string& text, std::string& ip, uint16_t& port) {
  return standin::relay::parsePair(text, ip, port);
}

[[noreturn]] void usage() {
  std::fprintf(
      stderr,
      "usage: standin-relay --listen IP:PORT [...] [--fragment-mtu N] [--record FILE]\n"
      "       [--switch IP:PORT=NAME[,NAME...]] [--detect IP[:PORT],NAT,DELAY,REPLY,TOTAL]\n"
      "       [--detect-body IP[:PORT],NAT,TEXT] [--control PATH]\n"
      "       [--tun NAME --tun-net ADDRESS/PREFIX]\n");
  std::exit(2);
}

// "IP" or "IP:PORT" of the figure options; a body, when given, replaces the figures.
void setFigures(standin::relay::Relay& relay, const std::string& where, const std::string& nat,
                standin::relay::DetectFigures f, std::optional<std::string> body) {
  std::string ip = where;
  std::optional<uint16_t> port;
  if (where.find(':') != std::string::npos) {
    uint16_t p = 0;
    if (!splitPair(where, ip, p)) usage();
    port = p;
  }
  if (body && port)
    relay.setDetectBody(ip, *port, nat, std::move(*body));
  else if (body)
    relay.setDetectBody(ip, nat, std::move(*body));
  else if (port)
    relay.setDetectFigures(ip, *port, nat, f);
  else
    relay.setDetectFigures(ip, nat, f);
}

standin::relay::Switches parseSwitches(const std::string& list) {
  std::string error;
  auto s = standin::relay::parseSwitchNames(list, &error);
  if (!s) usage();
  return *s;
}

// The runtime control socket: one client at a time, line by line.
class ControlServer {
 public:
  ~ControlServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(path_.c_str());
    }
  }

  bool open(const std::string& path, std::string& error) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path) {
      error = "control path too long";
      return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      error = path + " already exists";
      return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Made without access for others from the start, then pinned to 0600.
    mode_t old = ::umask(077);
    bool bound = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::umask(old);
    if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd_, 4) != 0) {
      error = path + ": " + std::strerror(errno);
      if (bound) ::unlink(path.c_str());
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      return false;
    }
    path_ = path;
    return true;
  }

  void serve(standin::relay::Relay& relay) {
    thread_ = std::thread([this, &relay] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        session(c, relay);
        ::close(c);
      }
    });
  }

 private:
  static void reply(int c, const std::string& text) {
    std::string line = text + "\n";
    (void)::send(c, line.data(), line.size(), MSG_NOSIGNAL);
  }

  void session(int c, standin::relay::Relay& relay) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
      reply(c, "error: not allowed");
      return;
    }
    // A client that stops talking does not hold the socket for long.
    timeval tv{2, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string pending;
    char buf[512];
    while (!stop_) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string error;
        auto cmd = standin::relay::parseControlLine(line, &error);
        if (!cmd) {
          reply(c, "error: " + error);
        } else if (!relay.changeSwitches(cmd->ip, cmd->port, cmd->switches, cmd->names)) {
          reply(c, "error: " + cmd->ip + ":" + std::to_string(cmd->port) + " is not served");
        } else {
          reply(c, "ok");
        }
      }
      if (pending.size() > standin::relay::kMaxControlLine) {
        reply(c, "error: line too long");
        return;
      }
    }
  }

  int fd_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals before any thread exists, so that sigwait below receives them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  standin::relay::Relay relay;
  // Nobody reads the records of the program but the --record file.
  relay.setKeepRecords(false);
  bool any = false;
  std::string tunName, tunNet, controlPath;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) usage();
    std::string v = argv[++i];
    if (a == "--listen") {
      std::string ip;
      uint16_t port;
      if (!splitPair(v, ip, port)) usage();
      uint16_t bound = relay.addEndpoint(ip, port);
      if (!bound) {
        std::fprintf(stderr, "standin-relay: cannot bind %s\n", v.c_str());
        return 1;
      }
      std::printf("standin-relay serving %s:%u\n", ip.c_str(), bound);
      any = true;
    } else if (a == "--fragment-mtu") {
      auto mtu = number(v, 68, 65535);
      if (!mtu) usage();
      relay.setFragmentMTU(static_cast<size_t>(*mtu));
    } else if (a == "--record") {
      if (!relay.setRecordFile(v)) {
        std::fprintf(stderr, "standin-relay: cannot write %s\n", v.c_str());
        return 1;
      }
    } else if (a == "--switch") {
      auto eq = v.find('=');
      std::string ip;
      uint16_t port;
      if (eq == std::string::npos || !splitPair(v.substr(0, eq), ip, port)) usage();
      relay.setSwitches(ip, port, parseSwitches(v.substr(eq + 1)));
    } else if (a == "--detect") {
      std::stringstream parts(v);
      std::string where, nat, d, r, t;
      if (!std::getline(parts, where, ',') || !std::getline(parts, nat, ',') ||
          !std::getline(parts, d, ',') || !std::getline(parts, r, ',') || !std::getline(parts, t))
        usage();
      auto delay = number(d, INT64_MIN, INT64_MAX), reply = number(r, INT64_MIN, INT64_MAX),
           total = number(t, INT64_MIN, INT64_MAX);
      if (!delay || !reply || !total) usage();
      setFigures(relay, where, nat, {*delay, *reply, *total}, std::nullopt);
    } else if (a == "--detect-body") {
      auto c1 = v.find(',');
      auto c2 = c1 == std::string::npos ? c1 : v.find(',', c1 + 1);
      if (c2 == std::string::npos) usage();
      setFigures(relay, v.substr(0, c1), v.substr(c1 + 1, c2 - c1 - 1), {}, v.substr(c2 + 1));
    } else if (a == "--control") {
      controlPath = v;
    } else if (a == "--tun") {
      tunName = v;
    } else if (a == "--tun-net") {
      tunNet = v;
    } else {
      usage();
    }
  }
  if (!any || tunName.empty() != tunNet.empty()) usage();
  if (!tunName.empty()) {
    std::string error;
    if (!relay.enableTun(tunName, tunNet, error)) {
      std::fprintf(stderr, "standin-relay: tun: %s\n", error.c_str());
      return 1;
    }
    std::printf("standin-relay tun %s up as %s\n", tunName.c_str(), tunNet.c_str());
  }
  ControlServer control;
  if (!controlPath.empty()) {
    std::string error;
    if (!control.open(controlPath, error)) {
      std::fprintf(stderr, "standin-relay: control: %s\n", error.c_str());
      return 1;
    }
    control.serve(relay);
    std::printf("standin-relay control %s\n", controlPath.c_str());
  }
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}
