#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Tovra/Codec/Base64.h"
#include "Tovra/Codec/CallRegistry.h"
#include "Tovra/Codec/PercentEscape.h"

namespace {

TEST(Base64, EncodesRfcVectors) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(tq::base64Encode(c.in), c.out) << c.in;
    auto back = tq::base64Decode(c.out);
    ASSERT_TRUE(back) << c.out;
    EXPECT_EQ(*back, c.in);
  }
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += char(i);
  for (size_t n = 0; n < 8; ++n) {
    std::string s = all.substr(n);
    auto back = tq::base64Decode(tq::base64Encode(s));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, s);
  }
  EXPECT_NE(tq::base64Encode(all).find('+'), std::string::npos);
  EXPECT_NE(tq::base64Encode(all).find('/'), std::string::npos);
}

TEST(Base64, RejectsNonStrictText) {
  const char* bad[] = {
      "Zg",        // length not a multiple of 4
      "Zg=",       // same
      "Zm9v\n",    // line break
      "Zm 9v",     // whitespace inside
      " Zm9",      // leading blank
      "Zm9-",      // URL-safe alphabet
      "Zm9_",      // URL-safe alphabet
      "Z===",      // three pad characters
      "====",      // padding only
      "Zg==Zm9v",  // padding inside the text
      "Z=g=",      // misplaced "="
      "Zm=v",      // misplaced "="
      "Zh==",      // unused bits not zero
      "Zm9=",      // unused bits not zero
      "Zm9v\x80\x80\x80\x80",
  };
  for (const char* b : bad) EXPECT_FALSE(tq::base64Decode(b)) << b;
  std::string withNul("Zm9v\0\0\0\0", 8);
  EXPECT_FALSE(tq::base64Decode(withNul));
}

TEST(PercentEscape, KeepsUnreservedAndEscapesTheRest) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"AZaz09-._~/?", "AZaz09-._~/?"},
      {"a+b=c", "a%2Bb%3Dc"},
      {"a b&c", "a%20b%26c"},
      {"%", "%25"},
      {"中", "%E4%B8%AD"},
      {std::string("\0\x7f\xff", 3), "%00%7F%FF"},
      {"ZCb8IYv7fsLw/dLWSZ+Lpg==", "ZCb8IYv7fsLw/dLWSZ%2BLpg%3D%3D"},
  };
  for (const auto& c : cases) EXPECT_EQ(tq::percentEscape(c.in), c.out) << c.in;
}

struct FakeCall {
  std::string name;
};

TEST(CallRegistry, KeepsFirstRegistrationAndMakesCalls) {
  tq::CallRegistry<FakeCall> reg;
  EXPECT_TRUE(reg.add({"A", "/a", "X", [] { return std::make_shared<FakeCall>(FakeCall{"A"}); }}));
  EXPECT_TRUE(reg.add({"B", "/b", "Y", [] { return std::make_shared<FakeCall>(FakeCall{"B"}); }}));
  EXPECT_FALSE(reg.add({"A", "/other", "Y", nullptr}));
  ASSERT_EQ(reg.entries().size(), 2u);
  EXPECT_EQ(reg.find("A")->path, "/a");
  EXPECT_EQ(reg.entriesWithBase("Y").size(), 1u);
  EXPECT_EQ(reg.make("B")->name, "B");
  EXPECT_EQ(reg.make("missing"), nullptr);
  EXPECT_FALSE(reg.find("missing"));
}

}  // namespace
