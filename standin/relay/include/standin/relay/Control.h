#pragma once
// The relay's switch names and the lines of its runtime control socket:
//   switch IP:PORT=NAME[,NAME...]
// where NAME is one of the --switch names, or "normal" (all switches off). Lines are bounded and
// anything else is refused with a reason.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "standin/relay/Relay.h"

namespace standin::relay {

// Longest control line accepted, without its line feed.
inline constexpr size_t kMaxControlLine = 256;

// "silent,twice", "slow-50", "normal"...; nothing, with `error`, for an unknown or malformed name.
std::optional<Switches> parseSwitchNames(std::string_view list, std::string* error);

// "IP:PORT" with a dotted IPv4 address and a port 0..65535.
bool parsePair(std::string_view text, std::string& ip, uint16_t& port);

struct ControlCommand {
  std::string ip;
  uint16_t port = 0;
  Switches switches;
  std::string names;  // as given, for the record
};

// One line without its line feed; nothing, with `error`, when it is no command we know.
std::optional<ControlCommand> parseControlLine(std::string_view line, std::string* error);

}  // namespace standin::relay
