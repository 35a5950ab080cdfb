#include "gelmora/General/Helper/FTWDevice.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "../../Shared/TextSupport.h"
#include "DeviceFacts.h"

namespace NSStringMD5 {
std::string MD5Hash(std::string_view text) { return gelmora::text::md5Hex(text); }
}  // namespace NSStringMD5

namespace {

std::mutex scaleMutex;
std::function<double()> scaleProvider;

struct DiskSpace {
  std::uint64_t total = 0;
  std::uint64_t free = 0;
};

DiskSpace homeDiskSpace() {
  const char* home = std::getenv("HOME");
  struct statvfs st {};
  if (::statvfs(home && *home ? home : "/", &st) != 0) return {};
  return {static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize,
          static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize};
}

}  // namespace

FTWDevice& FTWDevice::currentDevice() {
  static FTWDevice device;
  return device;
}

std::string FTWDevice::name() const { return gelmora::device::hostName(); }
std::string FTWDevice::localizedName() const { return gelmora::device::hostName(); }
std::string FTWDevice::systemName() const { return "OS X"; }

std::string FTWDevice::systemVersion() const {
  return gelmora::device::osRelease("PRETTY_NAME").value_or("");
}

std::string FTWDevice::model() const { return modelForFamily(deviceFamily()); }

std::string FTWDevice::uniqueIdentifier() const {
  return NSStringMD5::MD5Hash(name() + MACAddress().value_or(""));
}

std::optional<std::string> FTWDevice::MACAddress() const {
  auto primary = gelmora::device::primaryInterface();
  if (!primary) return std::string();
  if (!primary->mac) return std::nullopt;
  const auto& m = *primary->mac;
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02x:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return std::string(text);
}

std::optional<std::string> FTWDevice::platform() const { return getSysInfoByName("hw.machine"); }
std::optional<std::string> FTWDevice::hardwareModel() const { return getSysInfoByName("hw.model"); }

std::uint64_t FTWDevice::CPUFrequency() const { return getSysInfo(15); }
std::uint64_t FTWDevice::busFrequency() const { return getSysInfo(14); }
std::uint64_t FTWDevice::CPUCount() const { return getSysInfo(3); }
std::uint64_t FTWDevice::totalMemory() const { return getSysInfo(5); }
std::uint64_t FTWDevice::userMemory() const { return getSysInfo(6); }
std::uint64_t FTWDevice::maxSocketBufferSize() const { return getSysInfo(1); }
std::uint64_t FTWDevice::totalDiskSpace() const { return homeDiskSpace().total; }
std::uint64_t FTWDevice::freeDiskSpace() const { return homeDiskSpace().free; }

bool FTWDevice::isRetina() const {
  std::lock_guard lock(scaleMutex);
  return scaleProvider && scaleProvider() == 2.0;
}

void FTWDevice::setScaleProvider(std::function<double()> provider) {
  std::lock_guard lock(scaleMutex);
  scaleProvider = std::move(provider);
}

std::int32_t FTWDevice::deviceFamily() const {
  return familyForModel(hardwareModel().value_or(""));
}

std::string FTWDevice::serialNumber() const {
  auto serial = gelmora::device::serialNumber();
  return serial.state == gelmora::device::ReadState::Value ? serial.value : "unknown";
}

std::uint64_t FTWDevice::getSysInfo(int entry) const {
  using namespace gelmora::device;
  std::optional<std::uint64_t> value;
  switch (entry) {
    case 1:
      value = readNumber("proc/sys/net/core/rmem_max");
      break;
    case 3:
      value = onlineCpuCount();
      break;
    case 5:
      value = memInfoBytes("MemTotal");
      break;
    case 6:
      value = memInfoBytes("MemAvailable");
      break;
    case 15: {
      auto kHz = readNumber("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
      if (kHz && *kHz <= UINT64_MAX / 1000) value = *kHz * 1000;
      break;
    }
    default:
      break;
  }
  return value.value_or(0);
}

std::optional<std::string> FTWDevice::getSysInfoByName(std::string_view name) const {
  if (name == "hw.machine") {
    struct utsname u {};
    if (::uname(&u) != 0) return std::nullopt;
    return gelmora::text::capText(u.machine);
  }
  if (name == "hw.model") {
    auto product = gelmora::device::readFirstLine("sys/class/dmi/id/product_name");
    if (product.state != gelmora::device::ReadState::Value) return std::nullopt;
    return product.value;
  }
  return std::nullopt;
}

std::int32_t FTWDevice::familyForModel(std::string_view hardwareModel) {
  // Longer names first: "MacBookAir" and "MacBookPro" also start with "MacBook".
  static constexpr std::pair<std::string_view, std::int32_t> table[] = {
      {"Macmini", 5}, {"MacBookAir", 0}, {"MacBookPro", 1}, {"MacPro", 3},
      {"iMac", 4},    {"MacBook", 2},    {"Xserve", 6},
  };
  for (const auto& [prefix, family] : table) {
    if (hardwareModel.substr(0, prefix.size()) == prefix) return family;
  }
  return 7;
}

std::string FTWDevice::modelForFamily(std::int32_t family) {
  switch (family) {
    case 0:
      return "MacBook Air";
    case 1:
      return "MacBook Pro";
    case 2:
      return "MacBook";
    case 3:
      return "Mac Pro";
    case 4:
      return "iMac";
    case 5:
      return "Mac mini";
    default:
      return "";
  }
}
