// Store stand-in program: default catalogue, a fresh signing key (GET /public-key).
#include <cstdio>

#include "standin/StoreStandin.h"

int main(int argc, char** argv) {
  standin::StoreStandin store;
  standin::ProgramServer server;
  server.start = [&](int port) -> std::optional<std::string> {
    if (!store.start(port)) return std::nullopt;
    std::printf("public key %s\n", store.publicKeyBase64().c_str());
    std::fflush(stdout);
    return store.server().hostPort();
  };
  server.stop = [&] { store.stop(); };
  return standin::runProgram(argc, argv, {}, server);
}
