// standin-account: the stand-in account and feedback service as a program.
//   standin-account [--port N]   (0 or none: any free port); prints "http://127.0.0.1:PORT".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin/AccountServer.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "standin-account: bad port '%s'\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: standin-account [--port N]\n");
      return 2;
    }
  }
  standin::account::AccountServer server;
  if (!server.start(static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "standin-account: cannot listen on 127.0.0.1:%ld\n", port);
    return 1;
  }
  std::printf("http://%s\n", server.host().c_str());
  std::fflush(stdout);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  sigset_t none;
  sigemptyset(&none);
  while (!gStop) sigsuspend(&none);
  server.stop();
  return 0;
}
