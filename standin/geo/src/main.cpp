// Geo lookup stand-in program (default answers).
#include "standin/GeoStandin.h"

int main(int argc, char** argv) {
  return standin::runProgram(argc, argv, [](standin::HttpStandin& server) {
    standin::GeoStandin::install(server, std::make_shared<standin::GeoStandin::State>());
  });
}
