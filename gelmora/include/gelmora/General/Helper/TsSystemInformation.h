#pragma once
// Facts about the machine that the application sends to its services.
#include <optional>
#include <string>
#include <string_view>

class TsSystemInformation {
 public:
  // "<short version>.<build version>"
  static std::string clientVersion();
  // 12 upper-case hex digits of the primary Ethernet interface's MAC, or "000000000000".
  static std::string macAddress();
  // VERSION_ID of os-release, or "(null)".
  static std::string osVersion();
  // The public IPv4 address as the echo service (setting IPEchoURL of the current environment)
  // sees it, or "127.0.0.1". Blocks up to 5 s; a valid answer is kept for the whole run.
  static std::string localIPAddress();

  // Steps of reading an echo answer: the first run of digits and dots, if it is an address.
  static std::optional<std::string> publicAddressFromEchoAnswer(std::string_view body);
  // Forgets the kept public address (tests).
  static void resetPublicAddressCache();
};
