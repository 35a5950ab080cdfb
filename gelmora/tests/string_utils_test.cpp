#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "TestSupport.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/TsFileHelper.h"
#include "gelmora/Service/Tools/TsStringHelper.h"
#include "gelmora/Shared/NSString.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

TEST(Tessaryn, LengthValidatorsCountUtf16Units) {
  struct Case {
    std::string text;
    bool code, password;
  };
  const Case cases[] = {
      {"", false, false},        {"abc", false, false},  {"abcd", true, false},
      {"abcde", true, false},    {"abcdef", true, true}, {"验证码", false, false},
      {"验证码四", true, false}, {"😀😀", true, false},    {"😀😀😀", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Tessaryn::isValidateCode(c.text), c.code) << c.text;
    EXPECT_EQ(Tessaryn::isValidatePassword(c.text), c.password) << c.text;
    EXPECT_EQ(Tessaryn::isLongEnoughPassword(c.text), c.password) << c.text;
  }
}

TEST(Tessaryn, PhonePatternMatchesTheWholeText) {
  const std::pair<std::string, bool> cases[] = {
      {"1234", true},
      {std::string(20, '9'), true},
      {"123", false},
      {std::string(21, '9'), false},
      {"+8613800000000", false},
      {"138 0000 0000", false},
      {"138-0000", false},
      {"１２３４", false},  // full-width digits are not ASCII digits
      {"12345\n", false},
      {"", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(Tessaryn::isValidatePhone(text), valid) << text;
}

TEST(Tessaryn, EmailPatternMatchesTheWholeText) {
  const std::pair<std::string, bool> cases[] = {
      {"first.last-name@mail-host.example.com", true},
      {"a+tag@b.co", true},
      {"under_score@host.org", true},
      {"用户@例子.中国", true},  // non-Latin letters are word characters
      {"пользователь@пример.рф", true},
      {"a@b", false},  // no dot after the at sign
      {"a@b@c.com", false},
      {"a b@c.com", false},
      {"a@b.com ", false},
      {".a@b.com", false},
      {"a..b@c.com", false},
      {"a@b..com", false},
      {"", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(Tessaryn::isValidateEmail(text), valid) << text;
}

TEST(Tessaryn, TrimRemovesSpaceSeparatorsAndTabsButNotLineBreaks) {
  const std::pair<std::string, std::string> cases[] = {
      {" value\t", "value"},
      {"value\n", "value\n"},
      {"\u3000全角\u00a0", "全角"},  // ideographic and no-break spaces are Zs
      {"\u2003 \t", ""},
      {"", ""},
      {"a b", "a b"},
      {"\xff ", "\xff"},  // a broken byte ends the trimming, and stays
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Tessaryn::trim(in), out) << in;
}

TEST(Tessaryn, UidEncryptFramesTheIdWithDigestDigits) {
  EXPECT_EQ(Tessaryn::uidEncrypt("abc"), "44abc14");
  EXPECT_EQ(Tessaryn::uidEncrypt(""), "1226");
  EXPECT_EQ(TsStringHelper::mixUid("abc"), "44abc14");
  EXPECT_EQ(TsStringHelper::mixUid(nlohmann::json(12345)), Tessaryn::uidEncrypt("12345"));
}

TEST(TsStringHelper, MixUidFallsBackForValuesWithoutText) {
  EXPECT_EQ(TsStringHelper::mixUid(nlohmann::json()), "15null54");
  EXPECT_EQ(TsStringHelper::mixUid(nlohmann::json::array({1})), "15[1]54");
  EXPECT_EQ(TsStringHelper::mixUid(nlohmann::json(true)), "15true54");
}

TEST(Tessaryn, HexStringToNumReadsLikeScanfX) {
  const std::pair<std::string, std::int64_t> cases[] = {
      {"7e", 126},       {"7E", 126},  {"0x7e", 126}, {"ffffffff", -1}, {"80000000", INT32_MIN},
      {"1ffffffff", -1}, {"  10", 16}, {"-1", -1},    {"12zz", 0x12},   {"zz", 0},
      {"", 0},           {"0x", 0},    {"0xg", 0},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Tessaryn::hexStringToNum(in), out) << in;
}

TEST(Tessaryn, JsonDecodeAnswersMutableContainersOrNone) {
  EXPECT_EQ(Tessaryn::jsonDecode(std::nullopt), std::nullopt);
  EXPECT_EQ(Tessaryn::jsonDecode(""), std::nullopt);
  EXPECT_EQ(Tessaryn::jsonDecode("{\"a\":"), std::nullopt);
  EXPECT_EQ(Tessaryn::jsonDecode("\"text\""), std::nullopt);
  EXPECT_EQ(Tessaryn::jsonDecode("42"), std::nullopt);
  EXPECT_EQ(Tessaryn::jsonDecode(std::string(100000, '[')), std::nullopt);

  auto doc = TsStringHelper::jsonDecode("{\"uid\": 7, \"list\": [1, 2]}");
  ASSERT_TRUE(doc && doc->is_object());
  (*doc)["added"] = "yes";
  (*doc)["list"].push_back(3);
  EXPECT_EQ(doc->dump(), R"({"added":"yes","list":[1,2,3],"uid":7})");
  EXPECT_TRUE(Tessaryn::jsonDecode("[]"));
}

TEST(Tessaryn, UrlEncodeEscapesEverythingButUnreservedCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {" ", "%20"},
      {"&", "%26"},
      {"=", "%3D"},
      {"/", "%2F"},
      {"~", "~"},
      {"a-b_c.d", "a-b_c.d"},
      {"!*'();:@&=+$,/?%#[]", "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D"},
      {"中", "%E4%B8%AD"},
      {std::string("a\0b", 3), "a%00b"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(Tessaryn::urlEncode(in), out) << in;
    EXPECT_EQ(TsStringHelper::urlEncode(in), out) << in;
  }
}

TEST(Tessaryn, RandomIntegersStayInRange) {
  EXPECT_EQ(Tessaryn::randomIntegerFrom(5, 5), 5);
  EXPECT_EQ(Tessaryn::randomIntegerFrom(9, 3), 9);
  std::set<int> seen;
  for (int i = 0; i < 400; ++i) {
    int v = Tessaryn::randomIntegerFrom(-2, 2);
    ASSERT_GE(v, -2);
    ASSERT_LE(v, 2);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 5u);
  // The widest range does not overflow.
  for (int i = 0; i < 100; ++i) Tessaryn::randomIntegerFrom(INT32_MIN, INT32_MAX);
}

TEST(NSString, TrimmingAndMd5) {
  const std::pair<std::string, std::string> trims[] = {
      {" \t\n\v\f\rSerial 1\r\n", "Serial 1"}, {" \n ", ""}, {"", ""}, {"x", "x"}};
  for (const auto& [in, out] : trims) {
    EXPECT_EQ(NSString::stringByTrimmingLeadingAndTailingSpaces(in), out);
  }
  EXPECT_EQ(NSString::MD5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(NSString::MD5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  // The digest stops at a zero byte.
  EXPECT_EQ(NSString::MD5(std::string("abc\0def", 7)), NSString::MD5("abc"));
  EXPECT_EQ(TsStringHelper::md5DigestWithString("abc"), NSString::MD5("abc"));
}

std::string sha1sumOf(const std::filesystem::path& file) {
  std::string command = "sha1sum '" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  char line[256] = {};
  std::string out = std::fgets(line, sizeof line, pipe) ? std::string(line, 40) : std::string();
  ::pclose(pipe);
  return out;
}

TEST(TsFileHelper, Sha1HashesTheRawBytes) {
  TempDir dir;
  std::string bytes = "plain ascii\n";
  auto ascii = dir.write("ascii.txt", bytes);
  std::string binary("\xff\xfe\x00\x80 not utf-8 \xc3\x28", 17);
  auto raw = dir.write("raw.bin", binary);
  EXPECT_EQ(TsFileHelper::Sha1Value(ascii.string()), sha1sumOf(ascii));
  EXPECT_EQ(TsFileHelper::Sha1Value(raw.string()), sha1sumOf(raw));
  // Unreadable paths hash as empty input.
  const std::string emptyDigest = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
  EXPECT_EQ(TsFileHelper::Sha1Value((dir.path() / "missing").string()), emptyDigest);
  EXPECT_EQ(TsFileHelper::Sha1Value(dir.path().string()), emptyDigest);
}

TEST(TsFileHelper, IsExistNeedsAReadableFileAndLogs) {
  TempDir dir;
  auto file = dir.write("lib.dat", "x");
  std::vector<std::string> logs;
  gelmora::setLogSink([&logs](const std::string& l) { logs.push_back(l); });
  EXPECT_TRUE(TsFileHelper::IsExist(file.string()));
  EXPECT_FALSE(TsFileHelper::IsExist((dir.path() / "none").string()));
  EXPECT_FALSE(TsFileHelper::IsExist(dir.path().string()));
  gelmora::setLogSink(nullptr);
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0], file.string() + " 文件存在");
  EXPECT_EQ(logs[1], (dir.path() / "none").string() + " 文件不存在");
}

}  // namespace
