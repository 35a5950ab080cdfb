// standin-logsink [--port N] [--refuse] [--close-after BYTES] [--read-delay-ms MS]
// Prints each unscrambled line as it arrives.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "standin/logsink/LogSink.h"

int main(int argc, char** argv) {
  uint16_t port = 9998;
  standin::logsink::Switches s;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "standin-logsink: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port")
      port = static_cast<uint16_t>(std::atoi(next()));
    else if (a == "--refuse")
      s.refuseConnections = true;
    else if (a == "--close-after")
      s.closeAfterBytes = std::strtoull(next(), nullptr, 10);
    else if (a == "--read-delay-ms")
      s.readDelay = std::chrono::milliseconds(std::atoi(next()));
    else {
      std::fprintf(stderr,
                   "usage: standin-logsink [--port N] [--refuse] [--close-after BYTES] "
                   "[--read-delay-ms MS]\n");
      return 2;
    }
  }
  standin::logsink::LogSink sink("127.0.0.1", port);
  sink.setSwitches(s);
  std::printf("standin-logsink listening on 127.0.0.1:%u\n", sink.port());
  std::fflush(stdout);
  size_t shown = 0;
  for (;;) {
    sink.waitForLines(shown + 1, std::chrono::seconds(3600));
    auto lines = sink.lines();
    for (; shown < lines.size(); ++shown)
      std::printf("%s%s\n", lines[shown].valid ? "" : "(raw) ", lines[shown].text.c_str());
    std::fflush(stdout);
  }
}
