// standin-front: one address in front of the account and older-service stand-ins.
//   standin-front --account HOST:PORT --older HOST:PORT [--port N]
#include <memory>

#include "standin/FrontStandin.h"
#include "standin/HttpStandin.h"

int main(int argc, char** argv) {
  std::string account, older;
  std::unique_ptr<standin::FrontStandin> front;
  auto hostPort = [](std::string* out) {
    return [out](const std::string& v) {
      if (v.find(':') == std::string::npos) return false;
      *out = v;
      return true;
    };
  };
  standin::ProgramServer server{[&](int port) -> std::optional<std::string> {
                                  if (account.empty() || older.empty()) return std::nullopt;
                                  front = std::make_unique<standin::FrontStandin>(account, older);
                                  if (!front->start(port)) return std::nullopt;
                                  return front->hostPort();
                                },
                                [&] {
                                  if (front) front->stop();
                                }};
  return standin::runProgram(
      argc, argv,
      {{"--account", "HOST:PORT", hostPort(&account)}, {"--older", "HOST:PORT", hostPort(&older)}},
      server);
}
