// standin-account: the stand-in account and feedback service as a program.
//   standin-account [--port N] [--account MAIL:PASSWORD]...
// --port 0 or none: any free port; prints "listening on 127.0.0.1:PORT". --account seeds one
// account that can sign in with that e-mail address and password (repeatable).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/AccountServer.h"
#include "standin/HttpStandin.h"

int main(int argc, char** argv) {
  standin::account::AccountServer server;
  std::vector<standin::account::Account> seeded;
  std::vector<standin::ProgramOption> options{
      {"--account", "MAIL:PASSWORD", [&](const std::string& value) {
         const size_t colon = value.find(':');
         if (colon == std::string::npos || colon == 0 || colon + 1 == value.size() ||
             value.find('@') > colon)
           return false;
         standin::account::Account a;
         a.email = value.substr(0, colon);
         a.username = a.email;
         a.password = value.substr(colon + 1);
         seeded.push_back(std::move(a));
         return true;
       }}};
  standin::ProgramServer program;
  program.start = [&](int port) -> std::optional<std::string> {
    for (auto& a : seeded) server.addAccount(a);
    if (!server.start(static_cast<uint16_t>(port))) return std::nullopt;
    return server.host();
  };
  program.stop = [&] { server.stop(); };
  return standin::runProgram(argc, argv, options, program);
}
