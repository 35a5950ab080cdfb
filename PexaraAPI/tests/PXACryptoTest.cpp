#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <set>

#include "PexaraAPI/PXACrypto.h"

namespace {

// Replays the given bytes as the random source, then fails the test if more are drawn.
class FixedRandom {
 public:
  explicit FixedRandom(std::deque<uint8_t> bytes) : bytes_(std::move(bytes)) {
    PXACrypto::setRandomSource([this](uint8_t* out, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        if (bytes_.empty()) {
          ADD_FAILURE() << "random source drawn more often than expected";
          out[i] = 0;
          continue;
        }
        out[i] = bytes_.front();
        bytes_.pop_front();
      }
    });
  }
  ~FixedRandom() { PXACrypto::setRandomSource(nullptr); }
  size_t left() const { return bytes_.size(); }

 private:
  std::deque<uint8_t> bytes_;
};

class PXACryptoTest : public testing::Test {
 protected:
  void TearDown() override {
    PXACrypto::setRandomSource(nullptr);
    ASSERT_TRUE(PXACrypto::setTables(PXACrypto::defaultTables()));
  }
};

// Worked out by hand from the algorithm with the default tables:
// "Hi" = 48 69, inverted B7 96, base64 "t5Y=" -> one "=" cut, padding marker[1] = "k0".
// Random bytes: 252 is rejected (>= 250), 13 gives r = 3, count marker[4] = "Ph";
// four noise bytes 0, 63, 64, 200 -> & 63 = 0, 63, 0, 8 -> chars "R", "m", "R", "O".
TEST_F(PXACryptoTest, ScramblesExactlyAsWorkedOutByHand) {
  FixedRandom random({252, 13, 0, 63, 64, 200});
  EXPECT_EQ(PXACrypto::encryptedStringOfString("Hi"), "PhRmROk0t5Y");
  EXPECT_EQ(random.left(), 0u);
  EXPECT_EQ(PXACrypto::decryptedDataFromString("PhRmROk0t5Y"), std::optional<std::string>("Hi"));
}

// Each scrambled text has the shape: count marker, 1-10 noise, padding marker, bare base64.
struct RoundTrip {
  const char* name;
  std::string text;
  int64_t padding;  // "=" cut from the base64 form
};

class PXACryptoRoundTrip : public PXACryptoTest, public testing::WithParamInterface<RoundTrip> {};

TEST_P(PXACryptoRoundTrip, UnscrambleGivesTheBytesBack) {
  const auto& c = GetParam();
  for (int i = 0; i < 20; ++i) {  // different noise every time
    std::string s = PXACrypto::encryptedStringOfString(c.text);
    int64_t k = PXACrypto::rndCharIndexFromString(s);
    ASSERT_GE(k, 1);
    ASSERT_LE(k, 10);
    ASSERT_GE(s.size(), size_t(2 + k + 2));
    EXPECT_EQ(PXACrypto::rndCharIndexFromString(s.substr(2 + k)), c.padding);
    EXPECT_EQ(s.find('='), std::string::npos);
    auto back = PXACrypto::decryptedDataFromString(s);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.text);
    EXPECT_EQ(PXACrypto::decryptedDataFromData(PXACrypto::encryptedDataOfString(c.text)), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PXACryptoRoundTrip,
    testing::Values(RoundTrip{"NoPadding", "abc", 0}, RoundTrip{"OnePad", "ab", 1},
                    RoundTrip{"TwoPads", "a", 2}, RoundTrip{"Empty", "", 0},
                    RoundTrip{"NonAsciiUtf8", "加速器", 0}, RoundTrip{"NonAsciiOnePad", "é", 1},
                    RoundTrip{"JsonText", R"({"code":0,"msg":"ok","result":{"uid":7}})", 2},
                    RoundTrip{"Large", std::string(300000, 'x'), 0}),
    [](const testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST_F(PXACryptoTest, EmptyTextIsMarkersAndNoiseOnly) {
  FixedRandom random({9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // r = 9: ten noise characters
  std::string s = PXACrypto::encryptedStringOfString("");
  ASSERT_EQ(s.size(), 2u + 10u + 2u);
  EXPECT_EQ(s.substr(0, 2), PXACrypto::defaultTables().markers[10]);
  EXPECT_EQ(s.substr(12), PXACrypto::defaultTables().markers[0]);
  EXPECT_EQ(PXACrypto::decryptedDataFromString(s), std::optional<std::string>(""));
}

TEST_F(PXACryptoTest, UnreadableFramesGiveNothing) {
  // "Ph" announces four noise characters, "k0" is padding marker 1.
  const char* cases[] = {
      "",                       // empty
      "P",                      // shorter than a marker
      "zzRmROk0t5Y",            // unknown count marker
      "PhRmR",                  // shorter than marker and noise
      "PhRmRO",                 // no padding marker left
      "PhRmROk",                // half a padding marker
      "PhRmRO??t5Y",            // unknown padding marker
      "\xE5\x8A\xA0RmROk0t5Y",  // multi-byte start
  };
  for (const char* text : cases) {
    EXPECT_EQ(PXACrypto::decryptedDataFromString(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(PXACrypto::decryptedDataFromData(""), std::nullopt);
  EXPECT_EQ(PXACrypto::rndCharIndexFromString("P"), PXACrypto::kNotFound);
  EXPECT_EQ(PXACrypto::rndCharIndexFromString("Xr"), 0);
  EXPECT_EQ(PXACrypto::rndCharIndexFromString("pf..."), 10);
}

TEST_F(PXACryptoTest, GarbledBase64GivesEmptyBytes) {
  const char* cases[] = {
      "PhRmROk0t!Y",   // character outside base64
      "PhRmROk0t5",    // "t5" + "=" padded to "t5==" keeps non-zero spare bits
      "PhRmROk0t5Yx",  // four characters plus one "=": five, padded to eight
      "PhRmROk0",      // empty base64 with one "="
      "PhRmROBmA",     // "A" and two "=": one character group
  };
  for (const char* text : cases) {
    auto plain = PXACrypto::decryptedDataFromString(text);
    ASSERT_TRUE(plain.has_value()) << text;
    EXPECT_TRUE(plain->empty()) << text;
  }
}

TEST_F(PXACryptoTest, RndStringDrawsOnlyFromTheAlphabetAndReachesAllOfIt) {
  std::deque<uint8_t> all;
  for (int b = 0; b < 256; ++b) all.push_back(uint8_t(b));
  FixedRandom random(all);
  std::string s = PXACrypto::rndString(256);
  EXPECT_EQ(std::set<char>(s.begin(), s.end()),
            std::set<char>(PXACrypto::chars().begin(), PXACrypto::chars().end()));
  PXACrypto::setRandomSource(nullptr);
  std::string real = PXACrypto::rndString(4096);
  ASSERT_EQ(real.size(), 4096u);
  for (char c : real) EXPECT_NE(PXACrypto::chars().find(c), std::string::npos);
  EXPECT_EQ(PXACrypto::rndString(0), "");
}

PXACrypto::Tables with(std::function<void(PXACrypto::Tables&)> change) {
  PXACrypto::Tables t = PXACrypto::defaultTables();
  change(t);
  return t;
}

TEST_F(PXACryptoTest, TablesValidation) {
  struct Case {
    const char* name;
    PXACrypto::Tables tables;
    bool valid;
  };
  const Case cases[] = {
      {"default", PXACrypto::defaultTables(), true},
      {"other printable set", with([](auto& t) {
         t.markers = {"!#", "$%", "&(", ")*", "+,", "./", ":;", "<>", "?@", "[]", "{}"};
         t.chars[0] = '~';
       }),
       true},
      {"ten markers", with([](auto& t) { t.markers.pop_back(); }), false},
      {"twelve markers", with([](auto& t) { t.markers.push_back("ZZ"); }), false},
      {"marker of one character", with([](auto& t) { t.markers[3] = "a"; }), false},
      {"marker of three characters", with([](auto& t) { t.markers[3] = "abc"; }), false},
      {"marker with blank", with([](auto& t) { t.markers[3] = " a"; }), false},
      {"marker with control", with([](auto& t) { t.markers[3] = "a\x01"; }), false},
      {"marker multi-byte", with([](auto& t) { t.markers[3] = "\xC3\xA9"; }), false},
      {"duplicate marker", with([](auto& t) { t.markers[5] = t.markers[6]; }), false},
      {"63 characters", with([](auto& t) { t.chars.pop_back(); }), false},
      {"65 characters", with([](auto& t) { t.chars += '!'; }), false},
      {"duplicate character", with([](auto& t) { t.chars[1] = t.chars[2]; }), false},
      {"blank character", with([](auto& t) { t.chars[1] = ' '; }), false},
      {"multi-byte character", with([](auto& t) { t.chars.replace(0, 2, "\xC3\xA9"); }), false},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(PXACrypto::setTables(c.tables, &error), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(PXACrypto::tables(), c.tables) << c.name;
      std::string s = PXACrypto::encryptedStringOfString("round trip");
      EXPECT_EQ(PXACrypto::decryptedDataFromString(s), std::optional<std::string>("round trip"));
      ASSERT_TRUE(PXACrypto::setTables(PXACrypto::defaultTables()));
    } else {
      EXPECT_FALSE(error.empty()) << c.name;
      EXPECT_EQ(PXACrypto::tables(), PXACrypto::defaultTables()) << c.name << ": set kept";
    }
  }
}

class PXACryptoFiles : public PXACryptoTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("pxa-tables-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    ::unsetenv(PXACrypto::kTablesEnvironmentVariable);
    std::filesystem::remove_all(dir_);
    PXACryptoTest::TearDown();
  }
  std::string write(const std::string& name, const std::string& text) {
    auto p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::filesystem::path dir_;
};

const char* kOtherTablesJson =
    R"({"markers": ["aa","bb","cc","dd","ee","ff","gg","hh","ii","jj","kk"],
        "chars": "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"})";

TEST_F(PXACryptoFiles, LoadsAValidFileAndRefusesBadOnes) {
  struct Case {
    const char* name;
    const char* json;
  };
  const Case bad[] = {
      {"not json", "{markers"},
      {"not an object", "[1,2]"},
      {"no markers", R"({"chars": "x"})"},
      {"markers not a list", R"({"markers": "aa", "chars": "x"})"},
      {"marker not text", R"({"markers": [1,2,3,4,5,6,7,8,9,10,11], "chars": "x"})"},
      {"chars not text", R"({"markers": ["aa","bb","cc","dd","ee","ff","gg","hh","ii","jj","kk"],
                              "chars": 5})"},
      {"ten markers", R"({"markers": ["aa","bb","cc","dd","ee","ff","gg","hh","ii","jj"],
          "chars": "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"})"},
      {"multi-byte char", R"({"markers": ["aa","bb","cc","dd","ee","ff","gg","hh","ii","jj","kk"],
          "chars": "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-é"})"},
  };
  for (const auto& c : bad) {
    std::string error;
    EXPECT_FALSE(PXACrypto::loadTables(write("bad.json", c.json), &error)) << c.name;
    EXPECT_NE(error.find("scrambler tables"), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(PXACrypto::tables(), PXACrypto::defaultTables()) << c.name;
  }
  std::string error;
  EXPECT_FALSE(PXACrypto::loadTables((dir_ / "missing.json").string(), &error));
  EXPECT_FALSE(error.empty());

  ASSERT_TRUE(PXACrypto::loadTables(write("good.json", kOtherTablesJson), &error)) << error;
  EXPECT_EQ(PXACrypto::tables().markers[10], "kk");
  EXPECT_EQ(PXACrypto::chars()[0], '0');
}

TEST_F(PXACryptoFiles, HostInstallsTheDeploymentFileNamedByTheEnvironment) {
  ::unsetenv(PXACrypto::kTablesEnvironmentVariable);
  EXPECT_NE(PXACrypto::installDeploymentTables().find("built-in"), std::string::npos);
  EXPECT_EQ(PXACrypto::tables(), PXACrypto::defaultTables());

  std::string good = write("deploy.json", kOtherTablesJson);
  ::setenv(PXACrypto::kTablesEnvironmentVariable, good.c_str(), 1);
  EXPECT_NE(PXACrypto::installDeploymentTables().find(good), std::string::npos);
  EXPECT_EQ(PXACrypto::tables().markers[0], "aa");

  ::setenv(PXACrypto::kTablesEnvironmentVariable, write("broken.json", "{").c_str(), 1);
  EXPECT_NE(PXACrypto::installDeploymentTables().find("not valid JSON"), std::string::npos);
  EXPECT_EQ(PXACrypto::tables().markers[0], "aa") << "a bad file keeps the set in use";
}

}  // namespace
