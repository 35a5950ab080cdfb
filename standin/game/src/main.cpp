// standin-game: the game-service stand-in as a program, for scripts and manual runs.
//   standin-game [--host 127.0.0.1] [--port N] [--sample-answers] [--rule-file NAME=PATH]...
//                [--group ID,IP:PORT[:PORT...],ADDR@NAT]...
// --group adds one start-list group with one entrance and one exit (repeatable).
// Prints "standin-game listening on http://HOST:PORT" once bound, serves until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "PexaraAPI/PXACrypto.h"
#include "standin/GameStandin.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: standin-game [--host ADDR] [--port N] [--sample-answers] "
               "[--rule-file NAME=PATH]... [--group ID,IP:PORT[:PORT...],ADDR@NAT]...\n");
  return 2;
}

// "7,198.51.100.1:7000:7001,1-2@198.51.100.9"
std::optional<standin::GameStandin::Group> parseGroup(const std::string& spec) {
  size_t c1 = spec.find(',');
  size_t c2 = c1 == std::string::npos ? c1 : spec.find(',', c1 + 1);
  if (c2 == std::string::npos) return std::nullopt;
  standin::GameStandin::Group g;
  char* end = nullptr;
  g.id = std::strtoll(spec.c_str(), &end, 10);
  if (end != spec.c_str() + c1 || c1 == 0) return std::nullopt;
  std::string entrance = spec.substr(c1 + 1, c2 - c1 - 1);
  std::string exit = spec.substr(c2 + 1);
  size_t colon = entrance.find(':');
  size_t at = exit.find('@');
  if (colon == std::string::npos || colon == 0 || at == std::string::npos || at == 0) {
    return std::nullopt;
  }
  standin::GameStandin::Entrance e{entrance.substr(0, colon), {}};
  std::string ports = entrance.substr(colon + 1) + ":";
  for (size_t from = 0, to; (to = ports.find(':', from)) != std::string::npos; from = to + 1) {
    std::string p = ports.substr(from, to - from);
    long v = std::strtol(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || v <= 0 || v > 65535) return std::nullopt;
    e.ports.push_back(static_cast<int>(v));
  }
  g.entrance.push_back(e);
  g.exit.push_back({exit.substr(0, at), exit.substr(at + 1)});
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  bool sample = false;
  std::vector<std::pair<std::string, std::string>> ruleFiles;
  std::vector<standin::GameStandin::Group> groups;
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
    } else if (arg == "--group" && i + 1 < argc) {
      auto g = parseGroup(argv[++i]);
      if (!g) return usage();
      groups.push_back(*g);
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
  server.setStartGroups(groups);
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
