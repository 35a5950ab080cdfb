#pragma once
// One line of the area and ISP address table: an address range with its area and ISP ids.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct AreaispItem {
  std::int32_t area = 0;
  std::int32_t isp = 0;
  std::string ip;  // "a.b.c.d-e.f.g.h"

  bool operator==(const AreaispItem&) const = default;

  // "<first>\t<last>\t<area>\t<isp>", addresses as decimal host-order numbers, a trailing "\r"
  // allowed. Another field count, a field that is not a whole decimal number, an address beyond
  // 32 bits or an id beyond 32 bits gives none.
  static std::optional<AreaispItem> fromLine(std::string_view line);
};

// Placeholder of the older library service; it only reports success.
class AreaIspService {
 public:
  static void update();
};
