#include <gtest/gtest.h>

#include "Galvent/Utils/MD5.h"

TEST(MD5, KnownDigests) {
  struct Case {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      // Bytes after a NUL do not count.
      {std::string("abc\0def", 7), "900150983cd24fb0d6963f7d28e17f72"},
      {"\xe4\xb8\xad", "aed1dfbc31703955e64806b799b67645"},
  };
  for (const auto& c : cases) EXPECT_EQ(GVString::MD5(c.text), c.digest) << c.text;
}

TEST(MD5, CaseMatters) {
  std::string lower = GVString::MD5("rules"), upper = GVString::MD5("RULES");
  EXPECT_NE(lower, upper);
  for (const auto& d : {lower, upper}) {
    ASSERT_EQ(d.size(), 32u);
    EXPECT_EQ(d.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
}
