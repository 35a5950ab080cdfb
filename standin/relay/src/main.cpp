// standin-relay --listen IP:PORT [--listen IP:PORT ...] [--fragment-mtu N] [--record FILE]
//               [--switch IP:PORT=NAME[,NAME...]] [--detect IP,NAT,DELAY,REPLY,TOTAL]
// Switch names: silent, silent-heartbeat, slow-MS, garbage, wrong-type, wrong-length,
// detect-not-object, detect-zero-total, ip-overclaim.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "standin/relay/Relay.h"

namespace {
bool splitPair(const std::string& text, std::string& ip, uint16_t& port) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  ip = text.substr(0, colon);
  long p = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  if (p < 0 || p > 65535) return false;
  port = static_cast<uint16_t>(p);
  return true;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: standin-relay --listen IP:PORT [...] [--fragment-mtu N] [--record FILE]\n"
               "       [--switch IP:PORT=NAME[,NAME...]] [--detect IP,NAT,DELAY,REPLY,TOTAL]\n");
  std::exit(2);
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
  bool any = false;
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
      relay.setFragmentMTU(std::strtoul(v.c_str(), nullptr, 10));
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
      standin::relay::Switches s;
      std::stringstream names(v.substr(eq + 1));
      std::string n;
      while (std::getline(names, n, ',')) {
        if (n == "silent")
          s.silent = true;
        else if (n == "silent-heartbeat")
          s.silentHeartbeat = true;
        else if (n.rfind("slow-", 0) == 0)
          s.delay = std::chrono::milliseconds(std::atoi(n.c_str() + 5));
        else if (n == "garbage")
          s.garbage = true;
        else if (n == "wrong-type")
          s.wrongType = true;
        else if (n == "wrong-length")
          s.wrongLength = true;
        else if (n == "detect-not-object")
          s.detectNotObject = true;
        else if (n == "detect-zero-total")
          s.detectZeroTotal = true;
        else if (n == "ip-overclaim")
          s.ipOverclaim = true;
        else
          usage();
      }
      relay.setSwitches(ip, port, s);
    } else if (a == "--detect") {
      std::stringstream parts(v);
      std::string ip, nat, d, r, t;
      if (!std::getline(parts, ip, ',') || !std::getline(parts, nat, ',') ||
          !std::getline(parts, d, ',') || !std::getline(parts, r, ',') || !std::getline(parts, t))
        usage();
      relay.setDetectFigures(ip, nat,
                             {std::atoll(d.c_str()), std::atoll(r.c_str()), std::atoll(t.c_str())});
    } else {
      usage();
    }
  }
  if (!any) usage();
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}
