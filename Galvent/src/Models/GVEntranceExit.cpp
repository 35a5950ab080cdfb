#include "Galvent/Models/GVEntranceExit.h"

#include "Galvent/Logger/GVLogger.h"

namespace GVEntranceExit {

std::optional<uint16_t> portFromValue(const nlohmann::json& value) {
  long long port = -1;
  if (value.is_number_integer() || value.is_number_unsigned()) {
    port =
        value.is_number_unsigned() && value.get<uint64_t>() > 65535 ? -1 : value.get<long long>();
  } else if (value.is_string()) {
    auto n = tq::Number::fromText(value.get<std::string>());
    if (n && n->kind() != tq::Number::Kind::Double) port = n->intValue();
  }
  if (port < 1 || port > 65535) {
    GVLogWarn("entrance port dropped: " + tq::dumpJSON(value));
    return std::nullopt;
  }
  return static_cast<uint16_t>(port);
}

}  // namespace GVEntranceExit
