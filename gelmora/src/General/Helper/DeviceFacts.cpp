#include "DeviceFacts.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>

#include "../../Shared/TextSupport.h"
#include "gelmora/General/Helper/SystemRoot.h"
#include "gelmora/Shared/NSString.h"

namespace gelmora {

namespace {
std::mutex& rootMutex() {
  static std::mutex m;
  return m;
}
std::filesystem::path& rootSlot() {
  static std::filesystem::path root = "/";
  return root;
}
}  // namespace

std::filesystem::path SystemRoot::path() {
  std::lock_guard lock(rootMutex());
  return rootSlot();
}

void SystemRoot::setPath(std::filesystem::path root) {
  std::lock_guard lock(rootMutex());
  rootSlot() = std::move(root);
}

namespace device {

namespace {

constexpr std::size_t kTextCap = 255;

std::filesystem::path under(std::string_view relative) {
  return SystemRoot::path() / std::filesystem::path(relative).relative_path();
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<Mac> parseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  Mac mac{};
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < 6; ++i) {
    const int hi = hex(text[i * 3]);
    const int lo = hex(text[i * 3 + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return mac;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool isPhysicalEthernet(const std::string& name) {
  const auto type = readFirstLine("sys/class/net/" + name + "/type");
  if (type.state != ReadState::Value || type.value != "1") return false;
  std::error_code ec;
  return std::filesystem::exists(under("sys/class/net/" + name + "/device"), ec);
}

std::optional<std::string> defaultRouteInterface() {
  auto table = readFile("proc/net/route");
  if (!table) return std::nullopt;
  bool header = true;
  for (auto line : splitLines(*table)) {
    if (header) {
      header = false;
      continue;
    }
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size() && fields.size() < 8) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      std::size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
      if (j > i) fields.push_back(line.substr(i, j - i));
      i = j;
    }
    if (fields.size() >= 8 && fields[1] == "00000000" && fields[7] == "00000000") {
      return std::string(fields[0]);
    }
  }
  return std::nullopt;
}

}  // namespace

TextFact readFirstLine(std::string_view relative) {
  TextFact fact;
  auto content = readFile(relative, 64 * 1024);
  if (!content) {
    std::error_code ec;
    fact.state =
        std::filesystem::exists(under(relative), ec) ? ReadState::Unusable : ReadState::Missing;
    return fact;
  }
  std::string_view text = *content;
  const auto newline = text.find('\n');
  if (newline != std::string_view::npos) text = text.substr(0, newline);
  std::string line = NSString::stringByTrimmingLeadingAndTailingSpaces(text);
  if (line.empty() || !text::isCleanText(line)) {
    fact.state = ReadState::Unusable;
    return fact;
  }
  fact.state = ReadState::Value;
  fact.value = text::capText(line, kTextCap);
  return fact;
}

std::optional<std::string> readFile(std::string_view relative, std::size_t limit) {
  std::ifstream in(under(relative), std::ios::binary);
  if (!in) return std::nullopt;
  std::string content(limit + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) return std::nullopt;
  content.resize(static_cast<std::size_t>(in.gcount()));
  if (content.size() > limit) return std::nullopt;
  return content;
}

std::optional<std::uint64_t> readNumber(std::string_view relative) {
  auto line = readFirstLine(relative);
  if (line.state != ReadState::Value) return std::nullopt;
  return parseUnsigned(line.value);
}

std::optional<PrimaryInterface> primaryInterface() {
  std::vector<std::string> candidates;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(under("sys/class/net"), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Interface names are short and plain; anything else is not a kernel interface.
    if (name.empty() || name.size() > 15 || !text::isCleanText(name)) continue;
    if (isPhysicalEthernet(name)) candidates.push_back(std::move(name));
  }
  if (candidates.empty()) return std::nullopt;
  std::sort(candidates.begin(), candidates.end());
  std::string chosen = candidates.front();
  if (auto route = defaultRouteInterface()) {
    if (std::find(candidates.begin(), candidates.end(), *route) != candidates.end()) {
      chosen = *route;
    }
  }
  PrimaryInterface primary{chosen, std::nullopt};
  auto address = readFirstLine("sys/class/net/" + chosen + "/address");
  if (address.state == ReadState::Value) primary.mac = parseMac(address.value);
  return primary;
}

TextFact serialNumber() {
  auto serial = readFirstLine("sys/class/dmi/id/product_serial");
  if (serial.state == ReadState::Value) return serial;
  auto machineId = readFirstLine("etc/machine-id");
  if (machineId.state == ReadState::Value) return machineId;
  TextFact none;
  none.state = (serial.state == ReadState::Missing && machineId.state == ReadState::Missing)
                   ? ReadState::Missing
                   : ReadState::Unusable;
  return none;
}

std::optional<std::string> osRelease(std::string_view key) {
  auto content = readFile("etc/os-release", 64 * 1024);
  if (!content) content = readFile("usr/lib/os-release", 64 * 1024);
  if (!content) return std::nullopt;
  for (auto line : splitLines(*content)) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') {
      continue;
    }
    std::string_view value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty() || !text::isCleanText(value)) return std::nullopt;
    return text::capText(value, kTextCap);
  }
  return std::nullopt;
}

std::optional<std::uint64_t> memInfoBytes(std::string_view key) {
  auto content = readFile("proc/meminfo", 64 * 1024);
  if (!content) return std::nullopt;
  for (auto line : splitLines(*content)) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') {
      continue;
    }
    std::string_view rest = line.substr(key.size() + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const auto blank = rest.find(' ');
    auto number = parseUnsigned(rest.substr(0, blank));
    if (!number) return std::nullopt;
    const bool kilobytes = blank != std::string_view::npos && rest.substr(blank + 1) == "kB";
    if (!kilobytes) return number;
    if (*number > UINT64_MAX / 1024) return std::nullopt;
    return *number * 1024;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> onlineCpuCount() {
  auto line = readFirstLine("sys/devices/system/cpu/online");
  if (line.state != ReadState::Value) return std::nullopt;
  // A list of ranges such as "0-3,6,8-11".
  std::uint64_t count = 0;
  std::string_view rest = line.value;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const auto dash = item.find('-');
    auto first = parseUnsigned(item.substr(0, dash));
    auto last = dash == std::string_view::npos ? first : parseUnsigned(item.substr(dash + 1));
    if (!first || !last || *last < *first || *last - *first > 65535) return std::nullopt;
    count += *last - *first + 1;
  }
  return count;
}

std::string hostName() {
  auto name = readFirstLine("proc/sys/kernel/hostname");
  if (name.state == ReadState::Value) return name.value;
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) == 0 && text::isCleanText(buffer)) return buffer;
  return "localhost";
}

}  // namespace device
}  // namespace gelmora
