// Stored session texts: anything that is not a session object gives no session; a session read
// back writes out and reads in again to the same session.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gelmora/Core/TsUserController.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto session = TsUserController::sessionFromStoredData(text);
  if (!session) return 0;
  auto again = TsUserController::sessionFromStoredData(tq::toJSON(*session));
  if (!again || !(tq::toDictionary(*again) == tq::toDictionary(*session))) std::abort();
  return 0;
}
