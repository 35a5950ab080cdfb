// standin-account: the stand-in account and feedback service as a program.
//   standin-account [--port N]   (0 or none: any free port); prints "listening on 127.0.0.1:PORT".
#include <cstdint>
#include <optional>
#include <string>

#include "standin/AccountServer.h"
#include "standin/HttpStandin.h"

int main(int argc, char** argv) {
  standin::account::AccountServer server;
  standin::ProgramServer program;
  program.start = [&](int port) -> std::optional<std::string> {
    if (!server.start(static_cast<uint16_t>(port))) return std::nullopt;
    return server.host();
  };
  program.stop = [&] { server.stop(); };
  return standin::runProgram(argc, argv, {}, program);
}
