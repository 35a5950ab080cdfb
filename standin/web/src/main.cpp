// standin-web: the brand's web host. standin-web [--port N] [--root DIR]
// Serves the files below DIR (read at start) and /sample.png.
#include "standin/WebStandin.h"

int main(int argc, char** argv) {
  std::string root;
  auto server = std::make_shared<standin::HttpStandin>();
  standin::ProgramServer program{[&](int port) -> std::optional<std::string> {
                                   standin::WebStandin::addFile(*server, "/sample.png",
                                                                standin::WebStandin::samplePng(),
                                                                "image/png");
                                   if (!root.empty())
                                     standin::WebStandin::addDirectory(*server, root);
                                   if (!server->start(port)) return std::nullopt;
                                   return server->hostPort();
                                 },
                                 [&] { server->stop(); }};
  return standin::runProgram(
      argc, argv, {{"--root", "DIR", [&](const std::string& v) { return !(root = v).empty(); }}},
      program);
}
