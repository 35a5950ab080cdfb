#include <gtest/gtest.h>

#include "PexaraAPI/PXACrypto.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

TEST(Tessaryn, ScrambledTextUnscramblesToTheOriginal) {
  for (std::string text : {"hello", "{\"uid\":7,\"name\":\"名前\"}", "a", "x=1&y=2"}) {
    const std::string scrambled = Tessaryn::encryptedStringOfString(text);
    EXPECT_NE(scrambled, text);
    auto plain = PXACrypto::decryptedDataFromString(scrambled);
    ASSERT_TRUE(plain) << text;
    EXPECT_EQ(*plain, text);
  }
}

}  // namespace
