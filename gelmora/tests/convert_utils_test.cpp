#include <gtest/gtest.h>

#include "gelmora/Service/Tools/TsConvertHelper.h"
#include "gelmora/Service/Tools/TsUtils.h"

namespace {

TEST(TsConvertHelper, LongLongToIPAddressUsesTheLow32Bits) {
  const std::int64_t home = (192LL << 24) + (168LL << 16) + (1LL << 8) + 1;
  EXPECT_EQ(TsConvertHelper::longlongToIPAddress(home), "192.168.1.1");
  EXPECT_EQ(TsConvertHelper::longlongToIPAddress(home + (7LL << 32)), "192.168.1.1");
  EXPECT_EQ(TsConvertHelper::longlongToIPAddress(0), "0.0.0.0");
  EXPECT_EQ(TsConvertHelper::longlongToIPAddress(-1), "255.255.255.255");
  EXPECT_EQ(TsConvertHelper::longlongToIPAddress(INT64_MIN), "0.0.0.0");
}

TEST(TsConvertHelper, NatToIPAddressDecodesStrictBase64) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"MTAuMC4wLjE=", "10.0.0.1"},    {"MS4yLjMuNA==", "1.2.3.4"}, {"", ""},
      {"MTAuMC4wLjE", std::nullopt},    // missing padding
      {"MTAu MC4wLjE=", std::nullopt},  // blank inside
      {"M=AuMC4wLjE=", std::nullopt},   // misplaced padding
      {"/w==", std::nullopt},           // decodes to a byte that is not UTF-8
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TsConvertHelper::natToIPAddress(in), out) << in;
}

TEST(TsConvertHelper, AddrToUInt32FoldsTwoNumbers) {
  const std::pair<std::string, std::uint32_t> cases[] = {
      {"3-7", 3u * 65536 + 7},
      {"3", 0},
      {"3-7-9", 0},
      {"", 0},
      {"-", 0},
      {" 12-x", 12u << 16},
      {"65535-65535", 0xFFFFFFFFu},
      {"65536-1", 1},                  // wraps at 32 bits
      {"99999999999-0", 0xFFFF0000u},  // saturates at the 32-bit maximum, then shifts
      {"abc-5", 5},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TsConvertHelper::addrToUInt32(in), out) << in;
}

TEST(TsConvertHelper, FlowSizeNtoHPicksUnitAndScale) {
  struct Case {
    std::int64_t count;
    bool bps;
    const char* text;
  };
  const Case cases[] = {
      {1023, false, "1023 B"},
      {1024, false, "1.00 KB"},
      {1536, true, "12.00 Kb"},
      {-5, false, "0 B"},
      {-5, true, "0 b"},
      {0, true, "0 b"},
      {1048575, false, "1024.00 KB"},
      {1048576, false, "1.00 MB"},
      {1073741824, false, "1.00 GB"},
      {5LL << 40, false, "5120.00 GB"},
      {INT64_MAX, true, "8589934592.00 Gb"},  // saturates instead of overflowing
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TsConvertHelper::flowSizeNtoH(c.count, c.bps), c.text) << c.count;
  }
}

TEST(TsUtils, CompareVersions) {
  struct Case {
    const char* a;
    const char* b;
    int result;
  };
  const Case cases[] = {
      {"1.2", "1.2.0", 0},   {"1.9", "1.10", -1},
      {"2.0", "1.99.99", 1}, {"01", "1", 0},
      {"1.2.3", "1.2.3", 0}, {"", "", 0},
      {"", "0", -1},         {"1.0a", "1.0b", -1},
      {"1.10a", "1.9b", 1},  {"99999999999999999999999", "99999999999999999999998", 1},
      {"1..2", "1.0.2", -1}, {"2.0.0", "2.0.0.1", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TsUtilsCompareVersions(c.a, c.b), c.result) << c.a << " vs " << c.b;
    EXPECT_EQ(TsUtilsCompareVersions(c.b, c.a), -c.result) << c.b << " vs " << c.a;
  }
}

TEST(TsUtils, ValidIPAddressFollowsInetAton) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {std::nullopt, false}, {"", false},          {"letters", false},
      {"10.0.0.1", true},    {"127.1", true},      {"0x7f.1", true},
      {"256.0.0.1", false},  {"1.2.3.4.5", false}, {std::string("1.2.3.4\0x", 9), false},
  };
  for (const auto& [in, valid] : cases) {
    EXPECT_EQ(TsUtilIsStringValidIPAddress(in), valid) << in.value_or("<none>");
  }
  EXPECT_FALSE(TsUtilIsStringValidIPAddress(nlohmann::json()));
  EXPECT_FALSE(TsUtilIsStringValidIPAddress(nlohmann::json(10)));
  EXPECT_TRUE(TsUtilIsStringValidIPAddress(nlohmann::json("10.0.0.1")));
}

TEST(TsUtils, Guards) {
  EXPECT_EQ(TsUtilIntegerValueNumberGuard(nlohmann::json()), std::nullopt);
  EXPECT_EQ(TsUtilIntegerValueNumberGuard(nlohmann::json(2.5)), nlohmann::json(2.5));
  EXPECT_EQ(TsUtilIntegerValueNumberGuard(nlohmann::json(" 42abc")), nlohmann::json(42));
  EXPECT_EQ(TsUtilIntegerValueNumberGuard(nlohmann::json("x")), nlohmann::json(0));
  EXPECT_EQ(TsUtilIntegerValueNumberGuard(nlohmann::json::array()), std::nullopt);

  EXPECT_EQ(TsUtilStringGuard(nlohmann::json()), std::nullopt);
  EXPECT_EQ(TsUtilStringGuard(nlohmann::json("t")), "t");
  EXPECT_EQ(TsUtilStringGuard(nlohmann::json(7)), "7");
  EXPECT_EQ(TsUtilStringGuard(nlohmann::json::object()), std::nullopt);
}

}  // namespace
