// The echo stand-in as a program; STANDIN_ECHO_BODY replaces the default answer.
#include <cstdlib>

#include "standin/AddressEcho.h"

int main(int argc, char** argv) {
  const char* body = std::getenv("STANDIN_ECHO_BODY");
  return standin::runProgram(argc, argv, [body](standin::HttpStandin& server) {
    if (body) {
      const std::string text = body;
      server.handle("/", [text](const standin::Request&) { return standin::Reply::text(text); });
    } else {
      standin::AddressEcho::install(server, nullptr);
    }
  });
}
