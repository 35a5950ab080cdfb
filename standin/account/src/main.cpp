// standin-account: the stand-in account and feedback service as a program.
//   standin-account [--port N] [--account MAIL:PASSWORD]... [--store-key BASE64]
// --port 0 or none: any free port; prints "listening on 127.0.0.1:PORT". --account seeds one
// account that can sign in with that e-mail address and password (repeatable). --store-key is the
// store's public key (GET /public-key of standin-store) that in-app receipts are checked with.
#include <Tovra/Codec/Base64.h>

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
      {"--account", "MAIL:PASSWORD",
       [&](const std::string& value) {
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
       }},
      {"--store-key", "BASE64", [&](const std::string& value) {
         auto key = tq::base64Decode(value);
         if (!key || key->size() != 32) return false;
         server.setStorePublicKey(*key);
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
