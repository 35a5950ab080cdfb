// standin-account: the stand-in account and feedback service as a program.
//   standin-account [--port N] [--account MAIL:PASSWORD [--account-token TOKEN]]...
//                   [--store-key BASE64] [--log-requests]
// --port 0 or none: any free port; prints "listening on 127.0.0.1:PORT". --account seeds one
// account that can sign in with that e-mail address and password (repeatable). --store-key is the
// store's public key (GET /public-key of standin-store) that in-app receipts are checked with.
// --account-token gives the account named last a login token, so that a client's stored session
// holding it signs in (each sign-in then hands out a new one, as the service does).
// --log-requests prints one line per request as it arrives: "request " and a JSON object with
// its "path" and "headers" (for scripts that check what the client sent).
#include <Tovra/Codec/Base64.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
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
      {"--account-token", "TOKEN",
       [&](const std::string& value) {
         if (seeded.empty() || value.empty()) return false;
         seeded.back().loginToken = value;
         return true;
       }},
      {"--store-key", "BASE64",
       [&](const std::string& value) {
         auto key = tq::base64Decode(value);
         if (!key || key->size() != 32) return false;
         server.setStorePublicKey(*key);
         return true;
       }},
      {"--log-requests", "", [&](const std::string&) {
         server.setRequestObserver([](const standin::account::SeenRequest& r) {
           static std::mutex out;
           nlohmann::json line{{"path", r.path}, {"headers", r.headers}};
           std::lock_guard lock(out);
           std::printf("request %s\n",
                       line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
           std::fflush(stdout);
         });
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
