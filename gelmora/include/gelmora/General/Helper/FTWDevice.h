#pragma once
// Device information; values are read afresh on every call.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace NSStringMD5 {
// MD5 of the text's UTF-8 bytes, 32 lower-case hex digits.
std::string MD5Hash(std::string_view text);
}  // namespace NSStringMD5

class FTWDevice {
 public:
  static FTWDevice& currentDevice();

  std::string name() const;
  std::string localizedName() const;
  std::string systemName() const;     // "OS X", as the service knows the desktop client
  std::string systemVersion() const;  // os-release PRETTY_NAME
  std::string model() const;
  std::string uniqueIdentifier() const;
  // "AA:bb:CC:DD:EE:FF" (second byte lower case, as the service has always received it);
  // empty when there is no physical Ethernet interface, none when its address is unreadable.
  std::optional<std::string> MACAddress() const;
  std::optional<std::string> platform() const;
  std::optional<std::string> hardwareModel() const;
  std::uint64_t CPUFrequency() const;
  std::uint64_t busFrequency() const;
  std::uint64_t CPUCount() const;
  std::uint64_t totalMemory() const;
  std::uint64_t userMemory() const;
  std::uint64_t maxSocketBufferSize() const;
  std::uint64_t totalDiskSpace() const;
  std::uint64_t freeDiskSpace() const;
  bool isRetina() const;
  std::int32_t deviceFamily() const;
  std::string serialNumber() const;

  // Hardware entries: 3 CPUs, 5 memory, 6 available memory, 15 highest CPU Hz, 14 bus (0),
  // 1 largest socket receive buffer; others 0. 64-bit throughout.
  std::uint64_t getSysInfo(int entry) const;
  // "hw.machine" and "hw.model"; none for other names.
  std::optional<std::string> getSysInfoByName(std::string_view name) const;

  // Family number and model text of a hardware model identifier.
  static std::int32_t familyForModel(std::string_view hardwareModel);
  static std::string modelForFamily(std::int32_t family);

  // The screen's scale factor comes from the windowing layer once it is up.
  static void setScaleProvider(std::function<double()> provider);

 private:
  FTWDevice() = default;
};
