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
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

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
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  ip = text.substr(0, colon);
  auto p = number(text.substr(colon + 1), 0, 65535);
  if (!p) return false;
  port = static_cast<uint16_t>(*p);
  return true;
}

[[noreturn]] void usage() {
  std::fprintf(
      stderr,
      "usage: standin-relay --listen IP:PORT [...] [--fragment-mtu N] [--record FILE]\n"
      "       [--switch IP:PORT=NAME[,NAME...]] [--detect IP[:PORT],NAT,DELAY,REPLY,TOTAL]\n"
      "       [--detect-body IP[:PORT],NAT,TEXT]\n");
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
  standin::relay::Switches s;
  std::stringstream names(list);
  std::string n;
  while (std::getline(names, n, ',')) {
    if (n == "silent") {
      s.silent = true;
    } else if (n == "silent-heartbeat") {
      s.silentHeartbeat = true;
    } else if (n.rfind("slow-", 0) == 0) {
      auto ms = number(n.substr(5), 0, 600000);
      if (!ms) usage();
      s.delay = std::chrono::milliseconds(*ms);
    } else if (n == "garbage") {
      s.garbage = true;
    } else if (n == "wrong-type") {
      s.wrongType = true;
    } else if (n == "wrong-length") {
      s.wrongLength = true;
    } else if (n == "detect-not-object") {
      s.detectNotObject = true;
    } else if (n == "detect-zero-total") {
      s.detectZeroTotal = true;
    } else if (n == "ip-overclaim") {
      s.ipOverclaim = true;
    } else if (n == "twice") {
      s.copies = 2;
    } else if (n.rfind("copies-", 0) == 0) {
      auto c = number(n.substr(7), 1, 100);
      if (!c) usage();
      s.copies = static_cast<int>(*c);
    } else {
      usage();
    }
  }
  return s;
}
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
  std::string tunName, tunNet;
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
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}
