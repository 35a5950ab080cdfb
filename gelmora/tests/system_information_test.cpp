#include <gtest/gtest.h>

#include "TestSupport.h"
#include "gelmora/General/Helper/FTWDevice.h"
#include "gelmora/General/Helper/SystemRoot.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/machine_mac_addr.h"
#include "gelmora/version.h"

namespace {

class FakeSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::SystemRoot::setPath(root_.path());
    machine_mac_addr_reset();
  }
  void TearDown() override {
    gelmora::SystemRoot::setPath("/");
    machine_mac_addr_reset();
    FTWDevice::setScaleProvider(nullptr);
  }
  void addInterface(const std::string& name, const std::string& type, bool device,
                    const std::string& address) {
    root_.write("sys/class/net/" + name + "/type", type + "\n");
    root_.write("sys/class/net/" + name + "/address", address + "\n");
    if (device)
      std::filesystem::create_directories(root_.path() / "sys/class/net" / name / "device");
  }
  void defaultRouteVia(const std::string& name) {
    root_.write(
        "proc/net/route",
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n" +
            name + "\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n");
  }
  TempDir root_;
};

TEST_F(FakeSystem, MacOfTheDefaultRoutePhysicalInterface) {
  addInterface("lo", "772", false, "00:00:00:00:00:00");
  addInterface("eth0", "1", true, "aa:bb:cc:dd:ee:01");
  addInterface("wlan0", "1", true, "0a:1b:2c:3d:4e:5f");
  addInterface("docker0", "1", false, "02:42:00:00:00:01");  // virtual: no device
  defaultRouteVia("wlan0");
  EXPECT_EQ(TsSystemInformation::macAddress(), "0A1B2C3D4E5F");
  EXPECT_EQ(FTWDevice::currentDevice().MACAddress(), "0A:1b:2C:3D:4E:5F");
  EXPECT_STREQ(machine_mac_addr(), "0A1B2C3D4E5F");

  // A default route through a virtual interface falls back to the first physical one.
  defaultRouteVia("docker0");
  EXPECT_EQ(TsSystemInformation::macAddress(), "AABBCCDDEE01");
}

TEST_F(FakeSystem, WithoutAnInterfaceTheSerialStandsIn) {
  addInterface("lo", "772", false, "00:00:00:00:00:00");
  root_.write("sys/class/dmi/id/product_serial", "  SN-12345 \n");
  root_.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  EXPECT_EQ(TsSystemInformation::macAddress(), "000000000000");
  EXPECT_EQ(FTWDevice::currentDevice().MACAddress(), "");
  EXPECT_EQ(FTWDevice::currentDevice().serialNumber(), "SN-12345");
  EXPECT_STREQ(machine_mac_addr(), "SN-12345");

  machine_mac_addr_reset();
  std::filesystem::remove(root_.path() / "sys/class/dmi/id/product_serial");
  EXPECT_STREQ(machine_mac_addr(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(FTWDevice::currentDevice().serialNumber(), "0123456789abcdef0123456789abcdef");
}

TEST_F(FakeSystem, UnreadableMacIsNoneAndFallsThrough) {
  addInterface("eth0", "1", true, "not-a-mac");
  root_.write("etc/machine-id", "feedface\n");
  EXPECT_EQ(FTWDevice::currentDevice().MACAddress(), std::nullopt);
  EXPECT_EQ(TsSystemInformation::macAddress(), "000000000000");
  EXPECT_STREQ(machine_mac_addr(), "feedface");
  // The unique identifier hashes the name alone when no MAC could be read.
  EXPECT_EQ(FTWDevice::currentDevice().uniqueIdentifier(),
            NSStringMD5::MD5Hash(FTWDevice::currentDevice().name()));
}

TEST_F(FakeSystem, ZerosAreCachedButAnEmptySerialIsNot) {
  // Nothing at all: twelve zeros, kept even after a serial appears.
  EXPECT_STREQ(machine_mac_addr(), "000000000000");
  root_.write("etc/machine-id", "abc\n");
  EXPECT_STREQ(machine_mac_addr(), "000000000000");
  EXPECT_EQ(FTWDevice::currentDevice().serialNumber(), "abc");

  // Serial files that hold nothing usable: the empty text, and the next call tries again.
  machine_mac_addr_reset();
  root_.write("etc/machine-id", "\n");
  root_.write("sys/class/dmi/id/product_serial", "bad\x01serial\n");
  EXPECT_STREQ(machine_mac_addr(), "");
  EXPECT_STREQ(machine_mac_addr(), "");
  EXPECT_EQ(FTWDevice::currentDevice().serialNumber(), "unknown");
  root_.write("etc/machine-id", "later\n");
  EXPECT_STREQ(machine_mac_addr(), "later");
  const char* first = machine_mac_addr();
  root_.write("etc/machine-id", "changed\n");
  EXPECT_EQ(machine_mac_addr(), first);
  EXPECT_STREQ(first, "later");
}

TEST_F(FakeSystem, HardwareEntries) {
  root_.write(
      "proc/meminfo",
      "MemTotal:       16777216 kB\nMemFree:         1000 kB\nMemAvailable:    6291456 kB\n");
  root_.write("sys/devices/system/cpu/online", "0-5,8,10-11\n");
  root_.write("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "3600000\n");
  root_.write("proc/sys/net/core/rmem_max", "212992\n");
  const auto& d = FTWDevice::currentDevice();
  const std::pair<int, std::uint64_t> entries[] = {
      {3, 9}, {5, 16ULL << 30}, {6, 6ULL << 30}, {15, 3600000000ULL}, {14, 0}, {1, 212992}, {99, 0},
  };
  for (const auto& [entry, value] : entries) EXPECT_EQ(d.getSysInfo(entry), value) << entry;
  // Sizes above 4 GiB are not cut to 32 bits.
  EXPECT_EQ(d.userMemory(), 6ULL << 30);
  EXPECT_EQ(d.totalMemory(), 16ULL << 30);
  EXPECT_EQ(d.CPUCount(), 9u);
  EXPECT_EQ(d.CPUFrequency(), 3600000000ULL);
  EXPECT_EQ(d.busFrequency(), 0u);
  EXPECT_EQ(d.maxSocketBufferSize(), 212992u);
}

TEST_F(FakeSystem, MalformedHardwareFilesGiveZero) {
  root_.write("proc/meminfo", "MemTotal: lots kB\nMemAvailable: 99999999999999999999 kB\n");
  root_.write("sys/devices/system/cpu/online", "5-2\n");
  root_.write("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "-1\n");
  root_.write("proc/sys/net/core/rmem_max", std::string(100000, '9'));
  const auto& d = FTWDevice::currentDevice();
  for (int entry : {1, 3, 5, 6, 15}) EXPECT_EQ(d.getSysInfo(entry), 0u) << entry;
}

TEST_F(FakeSystem, OperatingSystemAndModelTexts) {
  root_.write("etc/os-release",
              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nPRETTY_NAME=\"Debian GNU/Linux 12 "
              "(bookworm)\"\n");
  root_.write("sys/class/dmi/id/product_name", std::string(300, 'M') + "\n");
  const auto& d = FTWDevice::currentDevice();
  EXPECT_EQ(TsSystemInformation::osVersion(), "12");
  EXPECT_EQ(d.systemVersion(), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(d.systemName(), "OS X");
  EXPECT_EQ(d.hardwareModel()->size(), 255u);
  EXPECT_EQ(d.deviceFamily(), 7);
  EXPECT_EQ(d.model(), "");

  root_.write("etc/os-release", "VERSION_ID=\"1\x1b[2J\"\n");
  EXPECT_EQ(TsSystemInformation::osVersion(), "(null)");
  std::filesystem::remove(root_.path() / "etc/os-release");
  EXPECT_EQ(TsSystemInformation::osVersion(), "(null)");
  EXPECT_EQ(d.systemVersion(), "");
  root_.write("sys/class/dmi/id/product_name", "MacBookPro11,5\n");
  EXPECT_EQ(d.deviceFamily(), 1);
  EXPECT_EQ(d.model(), "MacBook Pro");
}

TEST(FTWDeviceFamily, PrefixTableInOrder) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"MacBookPro11,5", 1, "MacBook Pro"},
      {"MacBook10,1", 2, "MacBook"},
      {"Macmini8,1", 5, "Mac mini"},
      {"MacBookAir7,2", 0, "MacBook Air"},
      {"MacPro6,1", 3, "Mac Pro"},
      {"iMac19,1", 4, "iMac"},
      {"Xserve3,1", 6, ""},
      {"ThinkPad X1", 7, ""},
      {"", 7, ""},
  };
  for (const auto& [model, family, name] : cases) {
    EXPECT_EQ(FTWDevice::familyForModel(model), family) << model;
    EXPECT_EQ(FTWDevice::modelForFamily(family), name) << model;
  }
}

TEST(FTWDeviceScale, RetinaOnlyAtExactlyTwo) {
  const auto& d = FTWDevice::currentDevice();
  EXPECT_FALSE(d.isRetina());
  for (const auto& [scale, retina] : {std::pair{2.0, true}, {3.0, false}, {1.0, false}}) {
    FTWDevice::setScaleProvider([s = scale] { return s; });
    EXPECT_EQ(d.isRetina(), retina) << scale;
  }
  FTWDevice::setScaleProvider(nullptr);
}

TEST(TsSystemInformationVersion, ClientVersionJoinsBothVersions) {
  EXPECT_EQ(TsSystemInformation::clientVersion(),
            std::string(gelmora::kShortVersion) + "." + gelmora::kBuildVersion);
}

TEST(TsSystemInformationEcho, AnswerTable) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"10.1.2.3", "10.1.2.3"},
      {"Hello, your address is 10.1.2.3 today.", "10.1.2.3"},
      {"Current IP Address: 203.0.113.7\n", "203.0.113.7"},
      {"In 2024 your address is 10.1.2.3", std::nullopt},  // the year comes first
      {"address 0.1.2.3", std::nullopt},                   // the run starts at the "1": "1.2.3"
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1.2.3.256", std::nullopt},
      {"no digits", std::nullopt},
      {"", std::nullopt},
      {std::string(30, '1'), std::nullopt},
      {"1.1.1.1" + std::string(24, '.'), std::nullopt},   // a run of 31 characters
      {std::string(120, ' ') + "1.2.3.4", "1.2.3.4"},     // 127 characters fit
      {std::string(121, ' ') + "1.2.3.4", std::nullopt},  // 128 do not
      {"\xff 1.2.3.4", std::nullopt},                     // not UTF-8
  };
  for (const auto& [body, address] : cases) {
    EXPECT_EQ(TsSystemInformation::publicAddressFromEchoAnswer(body), address) << body;
  }
}

}  // namespace
