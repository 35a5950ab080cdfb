#include "standin/relay/Control.h"

#include <arpa/inet.h>

#include <charconv>

namespace standin::relay {

namespace {
std::optional<long long> number(std::string_view text, long long lo, long long hi) {
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
    return std::nullopt;
  return v;
}
}  // namespace

std::optional<Switches> parseSwitchNames(std::string_view list, std::string* error) {
  Switches s;
  if (list.empty()) {
    *error = "no switch named";
    return std::nullopt;
  }
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view n = list.substr(start, comma - start);
    start = comma + 1;
    if (n == "normal") {
      s = Switches{};
    } else if (n == "silent") {
      s.silent = true;
    } else if (n == "silent-heartbeat") {
      s.silentHeartbeat = true;
    } else if (n.starts_with("slow-")) {
      auto ms = number(n.substr(5), 0, 600000);
      if (!ms) {
        *error = "bad delay in \"" + std::string(n) + "\"";
        return std::nullopt;
      }
      s.delay = std::chrono::milliseconds(*ms);
    } else if (n == "garbage") {
      s.garbage = true;
    } else if (n == "wrong-type") {
      s.wrongType = true;
    } else if (n == "wrong-length") {
      s.wrongLength = true;
    } else if (n == "detect-not-object") {
      s.detectNotObject = true;
    } else if (n == "detect-zero-total") {
      s.detectZeroTotal = true;
    } else if (n == "ip-overclaim") {
      s.ipOverclaim = true;
    } else if (n == "twice") {
      s.copies = 2;
    } else if (n.starts_with("copies-")) {
      auto c = number(n.substr(7), 1, 100);
      if (!c) {
        *error = "bad count in \"" + std::string(n) + "\"";
        return std::nullopt;
      }
      s.copies = static_cast<int>(*c);
    } else {
      *error = "unknown switch \"" + std::string(n) + "\"";
      return std::nullopt;
    }
  }
  return s;
}

bool parsePair(std::string_view text, std::string& ip, uint16_t& port) {
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string address(text.substr(0, colon));
  in_addr a{};
  if (::inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  auto p = number(text.substr(colon + 1), 0, 65535);
  if (!p) return false;
  ip = std::move(address);
  port = static_cast<uint16_t>(*p);
  return true;
}

std::optional<ControlCommand> parseControlLine(std::string_view line, std::string* error) {
  if (line.size() > kMaxControlLine) {
    *error = "line too long";
    return std::nullopt;
  }
  constexpr std::string_view kSwitch = "switch ";
  if (!line.starts_with(kSwitch)) {
    *error = "unknown command";
    return std::nullopt;
  }
  std::string_view arg = line.substr(kSwitch.size());
  auto eq = arg.find('=');
  ControlCommand c;
  if (eq == std::string_view::npos || !parsePair(arg.substr(0, eq), c.ip, c.port)) {
    *error = "want switch IP:PORT=NAME[,NAME...]";
    return std::nullopt;
  }
  auto s = parseSwitchNames(arg.substr(eq + 1), error);
  if (!s) return std::nullopt;
  c.switches = *s;
  c.names = std::string(arg.substr(eq + 1));
  return c;
}

}  // namespace standin::relay
