// Answers to the entrance-port probe (type 101) and to the path probe (type 301): any datagram is
// accepted or refused, and a path answer always yields a delay and a loss the rest can use.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Tools/LOG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    LOG::setConsoleSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  const std::span<const uint8_t> datagram(data, size);

  if (EntranceServer::isPortProbeReply(datagram) && size < 8) std::abort();

  const auto r = TsPathService::readProbeAnswer(datagram);
  if (r.delay < 1) std::abort();
  if (!std::isfinite(r.lost) || r.lost < 0 || r.lost > 100) std::abort();
  return 0;
}
