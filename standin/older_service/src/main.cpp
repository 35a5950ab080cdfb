// standin-older-service: the older HTTP service stand-in as a program, for scripts and manual
// runs.   standin-older-service [--host 127.0.0.1] [--port N] [--library PATH] [--rules PATH]
// Prints "standin-older-service listening on http://HOST:PORT" once bound; serves until SIGINT or
// SIGTERM. --library serves the file as the area/ISP library; --rules answers the rule list with
// the JSON object in the file (fixtures/rule_list_*.json are examples). --update DIR serves DIR
// zipped and signed with the test key as the client update; --update-switch (no-length, cut=N,
// wrong-signature, no-signature, slow) makes it answer badly.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "PexaraAPI/PXACrypto.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: standin-older-service [--host ADDR] [--port N] [--library PATH] "
               "[--rules PATH] [--update DIR [--update-switch S]...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string library;
  std::string rules;
  std::string update;
  standin::UpdateServing serving;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || v < 0 || v > 65535) return usage();
      port = static_cast<int>(v);
    } else if (arg == "--library" && i + 1 < argc) {
      library = argv[++i];
    } else if (arg == "--rules" && i + 1 < argc) {
      rules = argv[++i];
    } else if (arg == "--update" && i + 1 < argc) {
      update = argv[++i];
    } else if (arg == "--update-switch" && i + 1 < argc) {
      if (!serving.parse(argv[++i])) return usage();
    } else {
      return usage();
    }
  }
  std::fprintf(stderr, "%s\n", PXACrypto::installDeploymentTables().c_str());

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server threads start

  standin::OlderService server;
  if (!update.empty())
    standin::UpdatePackage::serve(server, standin::UpdatePackage::zipFolder(update), serving);
  if (!library.empty()) {
    std::ifstream in(library, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "standin-older-service: cannot read %s\n", library.c_str());
      return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    server.putFile("/files/area_isp.txt", text.str());
  }
  if (!rules.empty()) {
    std::ifstream in(rules, std::ios::binary);
    auto answer = nlohmann::json::parse(in, nullptr, false);
    if (!in.is_open() || answer.is_discarded() || !answer.is_object()) {
      std::fprintf(stderr, "standin-older-service: %s holds no JSON object\n", rules.c_str());
      return 1;
    }
    server.setAnswer("/q5client/rule/list", std::move(answer));
  }
  if (!server.start(host, port)) {
    std::fprintf(stderr, "standin-older-service: cannot bind %s:%d\n", host.c_str(), port);
    return 1;
  }
  std::printf("standin-older-service listening on http://%s:%d\n", host.c_str(), server.port());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  return 0;
}
