#pragma once
// Reading device facts under the system root. Every text read is bounded, cut to 255 bytes and
// refused when it holds control characters (the facts end up in request headers).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gelmora::device {

enum class ReadState { Missing, Unusable, Value };

struct TextFact {
  ReadState state = ReadState::Missing;
  std::string value;
};

// The first line of a file under the root, trimmed of ASCII white space.
TextFact readFirstLine(std::string_view relative);
// The whole file (at most `limit` bytes); none when unreadable or larger.
std::optional<std::string> readFile(std::string_view relative, std::size_t limit = 256 * 1024);
// An unsigned decimal number that is the file's whole first line.
std::optional<std::uint64_t> readNumber(std::string_view relative);

using Mac = std::array<std::uint8_t, 6>;

struct PrimaryInterface {
  std::string name;
  std::optional<Mac> mac;  // none when the address cannot be read
};

// The default-route interface when it is a physical Ethernet-type device, else the first such
// device by name; none when there is no physical Ethernet-type interface.
std::optional<PrimaryInterface> primaryInterface();

// Hardware serial: DMI product_serial, else the machine id.
TextFact serialNumber();

// A value of /etc/os-release (or /usr/lib/os-release), unquoted.
std::optional<std::string> osRelease(std::string_view key);

// "MemTotal" and the like of /proc/meminfo, in bytes.
std::optional<std::uint64_t> memInfoBytes(std::string_view key);

// Number of CPUs listed in /sys/devices/system/cpu/online.
std::optional<std::uint64_t> onlineCpuCount();

std::string hostName();

}  // namespace gelmora::device
