#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace MZHelper {

// Dotted-quad text to a host-order IPv4 address; nullopt for anything that is not exactly
// four decimal parts of 0..255.
std::optional<uint32_t> ipv4AddrFromLiteral(std::string_view literal);

// Host-order IPv4 address to dotted-quad text.
std::string ipv4LiteralFromAddr(uint32_t addr);

}  // namespace MZHelper
