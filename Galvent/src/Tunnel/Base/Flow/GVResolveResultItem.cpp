#include "Galvent/Tunnel/Base/Flow/GVResolveResultItem.h"

std::string GVResolveResultItem::description() const {
  auto n = [](int64_t v) { return std::to_string(v); };
  return entrance.ip + "|" + exit.addr + "|" + n(flowLevel) + " A: D" + n(ADelay) + ", L" +
         n(ALost) + ", S" + n(AScore) + ", B: D" + n(BDelay) + ", L" + n(BLost) + ", S" +
         n(BScore) + ", Score: " + n(score);
}
