// The area/ISP table text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Brevant/IpDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto db = brevant::IpDatabase::parse(text, data[0] & 1);
  if (data[0] & 1) {
    const auto& r = db.ranges();
    for (size_t i = 0; i < r.size(); ++i) {
      if (r[i].first > r[i].last) __builtin_trap();
      if (i > 0 && r[i].first <= r[i - 1].last) __builtin_trap();
      if (db.find(r[i].first) != r[i].value || db.find(r[i].last) != r[i].value) __builtin_trap();
    }
  }
  for (uint32_t addr : {0u, 0x01000000u, 0x7F000001u, 0xFFFFFFFFu}) (void)db.find(addr);
  return 0;
}
