// standin-connectproxy [--listen ADDR:PORT] [--log FILE] [--host NAME=IPV4]... [--refuse|--garbage]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "standin/MaskedConnectProxy.h"

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  int port = 3128;
  standin::MaskedConnectProxy proxy;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc) {
      std::string value = argv[++i];
      auto colon = value.rfind(':');
      if (colon == std::string::npos) {
        std::fprintf(stderr, "--listen takes ADDR:PORT\n");
        return 2;
      }
      address = value.substr(0, colon);
      port = std::atoi(value.c_str() + colon + 1);
    } else if (arg == "--log" && i + 1 < argc) {
      proxy.setLogFile(argv[++i]);
    } else if (arg == "--host" && i + 1 < argc) {
      std::string value = argv[++i];
      auto eq = value.find('=');
      if (eq == std::string::npos) {
        std::fprintf(stderr, "--host takes NAME=IPV4\n");
        return 2;
      }
      proxy.setHostAddress(value.substr(0, eq), value.substr(eq + 1));
    } else if (arg == "--refuse") {
      proxy.setMode(standin::MaskedConnectProxy::Mode::Refuse);
    } else if (arg == "--garbage") {
      proxy.setMode(standin::MaskedConnectProxy::Mode::Garbage);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--listen ADDR:PORT] [--log FILE] [--host NAME=IPV4]... "
                   "[--refuse|--garbage]\n",
                   argv[0]);
      return 2;
    }
  }
  if (port < 0 || port > 65535 || proxy.start(address, static_cast<uint16_t>(port)) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", address.c_str(), port);
    return 1;
  }
  std::printf("listening on %s:%u\n", address.c_str(), proxy.port());
  std::fflush(stdout);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  proxy.stop();
  return 0;
}
