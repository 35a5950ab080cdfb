// standin-game: the game-service stand-in as a program, for scripts and manual runs.
//   standin-game [--host 127.0.0.1] [--port N] [--sample-answers] [--rule-file NAME=PATH]...
// Prints "standin-game listening on http://HOST:PORT" once bound, serves until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "PexaraAPI/PXACrypto.h"
#include "standin/GameStandin.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: standin-game [--host ADDR] [--port N] [--sample-answers] "
               "[--rule-file NAME=PATH]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  bool sample = false;
  std::vector<std::pair<std::string, std::string>> ruleFiles;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || v < 0 || v > 65535) return usage();
      port = static_cast<int>(v);
    } else if (arg == "--sample-answers") {
      sample = true;
    } else if (arg == "--rule-file" && i + 1 < argc) {
      std::string spec = argv[++i];
      size_t eq = spec.find('=');
      if (eq == std::string::npos || eq == 0) return usage();
      ruleFiles.emplace_back(spec.substr(0, eq), spec.substr(eq + 1));
    } else {
      return usage();
    }
  }

  std::fprintf(stderr, "%s\n", PXACrypto::installDeploymentTables().c_str());

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server thread starts

  standin::GameStandin server;
  server.setSampleAnswers(sample);
  for (const auto& [name, path] : ruleFiles) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "standin-game: cannot read %s\n", path.c_str());
      return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string md5 = server.putRuleFile(name, text.str());
    server.setStartRuleFile(name);
    std::fprintf(stderr, "standin-game: rule file %s md5 %s\n", name.c_str(), md5.c_str());
  }
  if (!server.start(host, port)) {
    std::fprintf(stderr, "standin-game: cannot bind %s:%d\n", host.c_str(), port);
    return 1;
  }
  std::printf("standin-game listening on http://%s:%d\n", host.c_str(), server.port());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  return 0;
}
