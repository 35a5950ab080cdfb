#pragma once
// Entrances and exits of both services, read the same way so the engine depends on neither.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Tovra/Base/TQAPIModel.h"

struct GVEntrance {
  std::string ip;
  std::vector<uint16_t> ports;
  bool operator==(const GVEntrance&) const = default;
};

struct GVExit {
  std::string addr;  // "A-B"
  std::string nat;
  bool operator==(const GVExit&) const = default;
};

namespace GVEntranceExit {

// A port from a service value; nothing (logged) outside 1..65535 or not a number.
std::optional<uint16_t> portFromValue(const nlohmann::json& value);

template <class T>
std::optional<uint16_t> portFrom(const T& v) {
  if constexpr (std::is_same_v<T, tq::Number>) {
    return portFromValue(v.toJSON());
  } else {
    return portFromValue(nlohmann::json(v));
  }
}

template <class List>
std::vector<uint16_t> portsFrom(const std::optional<List>& list) {
  std::vector<uint16_t> out;
  if (!list) return out;
  for (const auto& v : *list)
    if (auto p = portFrom(v)) out.push_back(*p);
  return out;
}

// Any entrance model: its `ports`, or for the game service's model its `port` list.
template <class E>
GVEntrance entrance(const E& e) {
  GVEntrance out;
  out.ip = e.ip.value_or("");
  if constexpr (requires { e.ports; }) {
    out.ports = portsFrom(e.ports);
  } else {
    out.ports = portsFrom(e.port);
  }
  return out;
}

template <class X>
GVExit exit(const X& x) {
  return GVExit{x.addr.value_or(""), x.nat.value_or("")};
}

}  // namespace GVEntranceExit
