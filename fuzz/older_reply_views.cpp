// One older service reply read by every view the older windows make of it: the pop-up, the
// account panel, the start-up decisions and the stored sign-in token.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "gelmora/Legacy/LegacyAccountData.h"
#include "gelmora/Legacy/LegacyPopup.h"
#include "gelmora/Legacy/LegacyWelcome.h"
#include "gelmora/Service/Tools/LOG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    LOG::setConsoleSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  auto j = nlohmann::json::parse(reinterpret_cast<const char*>(data),
                                 reinterpret_cast<const char*>(data) + size, nullptr, false);
  if (j.is_discarded()) return 0;
  std::string line;
  LegacyPopup p = LegacyPopup::fromReply(j, &line);
  (void)p.effectOf(1000);
  (void)p.effectOf(1001);
  if (auto a = LegacyAccountData::fromReply(j)) {
    if (a->status) (void)LegacyAccountData::noticesFor(*a->status);
  }
  (void)LegacyWelcome::readStartup(j);
  (void)LegacyWelcome::tokenOf(j);
  (void)LegacyWelcome::hostList(j, "a.example", "b.example");
  return 0;
}
