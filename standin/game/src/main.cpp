// standin-game: the game-service stand-in as a program, for scripts and manual runs.
//   standin-game [--host 127.0.0.1] [--port N] [--sample-answers] [--rule-file NAME=PATH]...
//                [--group ID,IP:PORT[:PORT...],ADDR@NAT]...
// --group adds one start-list group with one entrance and one exit (repeatable).
// Prints "listening on HOST:PORT" once bound, serves until SIGINT/SIGTERM.
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
#include "standin/HttpStandin.h"

namespace {

// "7,198.51.100.1:7000:7001,1-2@198.51.100.9"
std::optional<standin::GameStandin::Group> parseGroup(const std::string& arg) {
  size_t c1 = arg.find(',');
  size_t c2 = c1 == std::string::npos ? c1 : arg.find(',', c1 + 1);
  if (c2 == std::string::npos) return std::nullopt;
  standin::GameStandin::Group g;
  char* end = nullptr;
  g.id = std::strtoll(arg.c_str(), &end, 10);
  if (end != arg.c_str() + c1 || c1 == 0) return std::nullopt;
  std::string entrance = arg.substr(c1 + 1, c2 - c1 - 1);
  std::string exit = arg.substr(c2 + 1);
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
  // Before any rule file is read: those are stored scrambled with the installed tables.
  std::fprintf(stderr, "%s\n", PXACrypto::installDeploymentTables().c_str());
  std::string host = "127.0.0.1";
  standin::GameStandin server;
  std::vector<standin::GameStandin::Group> groups;
  const std::vector<standin::ProgramOption> options = {
      {"--host", "ADDR",
       [&](const std::string& v) {
         host = v;
         return !v.empty();
       }},
      {"--sample-answers", "",
       [&](const std::string&) {
         server.setSampleAnswers(true);
         return true;
       }},
      {"--rule-file", "NAME=PATH",
       [&](const std::string& arg) {
         size_t eq = arg.find('=');
         if (eq == std::string::npos || eq == 0) return false;
         const std::string name = arg.substr(0, eq);
         const std::string path = arg.substr(eq + 1);
         std::ifstream in(path, std::ios::binary);
         if (!in) {
           std::fprintf(stderr, "standin-game: cannot read %s\n", path.c_str());
           return false;
         }
         std::ostringstream text;
         text << in.rdbuf();
         std::string md5 = server.putRuleFile(name, text.str());
         server.setStartRuleFile(name);
         std::fprintf(stderr, "standin-game: rule file %s md5 %s\n", name.c_str(), md5.c_str());
         return true;
       }},
      {"--group", "ID,IP:PORT[:PORT...],ADDR@NAT",
       [&](const std::string& arg) {
         auto g = parseGroup(arg);
         if (g) groups.push_back(*g);
         return g.has_value();
       }},
  };
  standin::ProgramServer program;
  program.start = [&](int port) -> std::optional<std::string> {
    server.setStartGroups(groups);
    if (!server.start(host, port)) return std::nullopt;
    return host + ":" + std::to_string(server.port());
  };
  program.stop = [&] { server.stop(); };
  return standin::runProgram(argc, argv, options, program);
}
