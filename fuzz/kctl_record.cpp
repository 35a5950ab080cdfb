// Records from the traffic filter, any length and type, through the control client's dispatch
// with a recording option sink.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/LOG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    LOG::setConsoleSink([](const std::string&) {});
    KextHelper::setHooks(
        {[](uint32_t offset) -> std::optional<KextPathAnswer> {
           if (offset % 2) return std::nullopt;
           return KextPathAnswer{std::string(40, '9'), 7000, "1-2", std::string(64, 'n')};
         },
         [] { return 1u; }, [](int64_t, int64_t) {}});
    return true;
  }();
  (void)once;
  if (size > KextHelper::kRecordBuffer) size = KextHelper::kRecordBuffer;
  // Exactly the bytes read, so any read past them is caught.
  std::vector<uint8_t> record(data, data + size);
  KextHelper::Totals totals;
  size_t sent = 0;
  KextHelper::dispatchRecord(record.data(), record.size(), totals,
                             [&](int, const void* p, size_t len) {
                               if (len && std::memchr(p, 0, len) == p) ++sent;
                               ++sent;
                               return 22;
                             });
  return 0;
}
