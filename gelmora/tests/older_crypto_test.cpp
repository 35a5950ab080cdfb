// The older text scrambler and the download placeholder.
#include <gtest/gtest.h>

#include <set>

#include "TestSupport.h"
#include "gelmora/Service/Tools/Crypto.h"
#include "gelmora/Service/Tools/DownloadHelper.h"

namespace {

int indexOf(const std::string& marker) {
  const auto& t = Crypto::sbox();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == marker) return static_cast<int>(i);
  }
  return -1;
}

// Splits a scrambled text into (count, noise, padding, body) by its markers.
struct Parts {
  int count = -1;
  std::string noise;
  int padding = -1;
  std::string body;
};

Parts parts(const std::string& s) {
  Parts p;
  p.count = indexOf(s.substr(0, 2));
  if (p.count < 0) return p;
  p.noise = s.substr(2, static_cast<size_t>(p.count));
  p.padding = indexOf(s.substr(2 + static_cast<size_t>(p.count), 2));
  p.body = s.substr(4 + static_cast<size_t>(p.count));
  return p;
}

}  // namespace

TEST(OlderCryptoTest, ScrambleHasMarkersNoiseAndUnpaddedBodyAndRoundTrips) {
  // Lengths 3, 1 and 2 give no padding, "==" and "=" in base64.
  struct Case {
    std::string text;
    int padding;
  };
  const Case cases[] = {{"abc", 0},       {"a", 2},
                        {"ab", 1},        {"uid=7&details=a=b", 1},
                        {"中文 text", 1}, {std::string("\x00\xff\x01", 3), 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string s = Crypto::encryptedStringOfString(c.text);
    Parts p = parts(s);
    ASSERT_GE(p.count, 1);
    ASSERT_LE(p.count, 10);
    for (char n : p.noise) EXPECT_TRUE(n >= 'A' && n <= 'Z');
    EXPECT_EQ(p.padding, c.padding);
    EXPECT_EQ(p.body.find('='), std::string::npos);
    EXPECT_EQ(Crypto::decryptedDataFromString(s), c.text);
    EXPECT_EQ(Crypto::decryptedDataFromData(Crypto::encryptedDataOfString(c.text)), c.text);
  }
}

TEST(OlderCryptoTest, TwoScramblesDifferAndBothUnscramble) {
  std::set<std::string> seen;
  for (int i = 0; i < 8; ++i) {
    std::string s = Crypto::encryptedStringOfString("same text");
    EXPECT_EQ(Crypto::decryptedDataFromString(s), "same text");
    seen.insert(s);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST(OlderCryptoTest, EmptyTextScramblesToMarkersAndEmptyBody) {
  std::string s = Crypto::encryptedStringOfString("");
  Parts p = parts(s);
  ASSERT_GE(p.count, 1);
  EXPECT_EQ(p.padding, 0);
  EXPECT_EQ(p.body, "");
  EXPECT_EQ(s.size(), 4u + static_cast<size_t>(p.count));
  EXPECT_EQ(Crypto::decryptedDataFromString(s), "");
}

TEST(OlderCryptoTest, UnscrambleRefusesBadTexts) {
  const auto& t = Crypto::sbox();
  const std::string good = t[2] + "QQ" + t[0] + "ZGVm";  // count 2, padding 0
  ASSERT_TRUE(Crypto::decryptedDataFromString(good));
  const std::string cases[] = {
      "",                               // empty
      "#!" + std::string("QQ") + t[0],  // unknown count marker
      t[3] + "QQ",                      // too short for the padding marker
      t[1] + "Q" + "#!" + "ZGVm",       // unknown padding marker
      t[1] + "Q" + t[5] + "ZGVm",       // a count marker where padding belongs (5 > 2)
      t[1] + "Q" + t[0] + "Z",          // body is no base64
      t[1] + "Q" + t[0] + "ZG=m",       // "=" inside the body
      t[1].substr(0, 1),                // half a marker
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c);
    EXPECT_FALSE(Crypto::decryptedDataFromString(c));
  }
  EXPECT_FALSE(Crypto::decryptedDataFromString(std::nullopt));
  EXPECT_FALSE(Crypto::decryptedDataFromData(std::nullopt));
  EXPECT_EQ(Crypto::num_of_str_in_sobx(std::nullopt), -1);
  EXPECT_EQ(Crypto::num_of_str_in_sobx("x"), -1);
  EXPECT_EQ(Crypto::num_of_str_in_sobx(t[10] + "rest"), 10);
}

TEST(OlderCryptoTest, TableIsCheckedBeforeItIsInstalled) {
  auto table = Crypto::defaultSbox();
  EXPECT_TRUE(Crypto::validateSbox(table));
  struct Bad {
    std::string why;
    std::vector<std::string> table;
  };
  auto with = [&](size_t i, std::string v) {
    auto t = table;
    t[i] = std::move(v);
    return t;
  };
  std::vector<std::string> shortTable(table.begin(), table.end() - 1);
  const Bad bad[] = {{"ten entries", shortTable},
                     {"duplicate", with(4, table[3])},
                     {"three characters", with(0, "abc")},
                     {"one character", with(0, "a")},
                     {"form would escape it", with(6, "a&")},
                     {"padding sign", with(6, "a=")}};
  for (const auto& b : bad) {
    SCOPED_TRACE(b.why);
    std::string error;
    EXPECT_FALSE(Crypto::setSbox(b.table, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Crypto::sbox(), table);  // the installed table stays
  }

  TempDir dir;
  auto file = dir.write("sbox.json", R"(["A1","B2","C3","D4","E5","F6","G7","H8","I9","J0","K-"])");
  ASSERT_TRUE(Crypto::loadSbox(file.string()));
  EXPECT_EQ(Crypto::sbox()[10], "K-");
  std::string s = Crypto::encryptedStringOfString("with another table");
  EXPECT_EQ(Crypto::decryptedDataFromString(s), "with another table");
  EXPECT_FALSE(Crypto::loadSbox(dir.write("bad.json", R"({"a":1})").string()));
  EXPECT_FALSE(Crypto::loadSbox((dir.path() / "missing.json").string()));
  ASSERT_TRUE(Crypto::setSbox(table));
}

TEST(OlderCryptoTest, DownloadPlaceholderReportsFailureToItsDelegateOnly) {
  struct Delegate : DownloadProtocol {
    std::vector<std::string> got;
    void cbDownloadFail(const std::string& reason) override { got.push_back(reason); }
  };
  DownloadHelper helper;
  helper.downloadWithSha1("http://x/f", "/tmp/f", "abc");  // no delegate: nothing happens
  auto d = std::make_shared<Delegate>();
  helper.setDownloadProtocol(d);
  helper.downloadWithSha1("http://x/f", "/tmp/f", "abc");
  EXPECT_EQ(d->got, std::vector<std::string>{"开发还没写下载逻辑"});
}
