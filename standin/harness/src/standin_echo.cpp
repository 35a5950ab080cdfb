// Stand-in program that answers every request on /echo with what it received, as JSON.
#include <nlohmann/json.hpp>

#include "standin/HttpStandin.h"

int main(int argc, char** argv) {
  return standin::runProgram(argc, argv, [](standin::HttpStandin& s) {
    s.handle("/echo", [](const standin::Request& r) {
      nlohmann::json j = {{"code", 0}, {"data", {{"method", r.method}, {"body", r.body}}}};
      return standin::Reply::json(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    });
  });
}
