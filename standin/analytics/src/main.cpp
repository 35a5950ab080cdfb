// Analytics collector stand-in program: prints each hit's decoded pairs.
#include <cstdio>

#include "standin/AnalyticsCollector.h"

int main(int argc, char** argv) {
  return standin::runProgram(argc, argv, [](standin::HttpStandin& server) {
    server.handle(standin::AnalyticsCollector::kPath, [](const standin::Request& request) {
      for (const auto& [k, v] : standin::AnalyticsCollector::decodeForm(request.body))
        std::printf("%s=%s ", k.c_str(), v.c_str());
      std::printf("\n");
      std::fflush(stdout);
      return standin::Reply::text("", "image/gif");
    });
  });
}
