#include <gtest/gtest.h>

#include <string>

#include "JolvexAPI/JVXCrypto.h"
#include "Tovra/Codec/Base64.h"

namespace {

// Vectors made with `openssl enc -aes-256-cbc -base64 -A` under the envelope's key and IV.
TEST(JVXCrypto, MatchesIndependentVectors) {
  struct Case {
    std::string plain, cipher;
  } cases[] = {
      {"{}", "ZCb8IYv7fsLw/dLWSZ+Lpg=="},
      {"", "oiq5aAfNDbn5dgWG2DpDDw=="},
      {R"({"code":0,"data":{"uid":7}})", "gXTqCYPYJ2D4d8VSxoFjdKqRVTlvRYLNku64zTdM/RM="},
      {" ", "426XF9DMNiEhHxVURoGU3g=="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JVXCrypto::encryptedStringOfString(c.plain), c.cipher) << c.plain;
    EXPECT_EQ(JVXCrypto::encryptedDataOfString(c.plain), c.cipher) << c.plain;
    auto back = JVXCrypto::decryptedDataFromString(c.cipher);
    ASSERT_TRUE(back) << c.cipher;
    EXPECT_EQ(*back, c.plain);
    auto fromData = JVXCrypto::decryptedDataFromData(c.cipher);
    ASSERT_TRUE(fromData);
    EXPECT_EQ(*fromData, c.plain);
  }
}

TEST(JVXCrypto, RoundTripsUtf8AndLongText) {
  std::string texts[] = {"中文 text", std::string(1000, 'x'), std::string("a\0b", 3),
                         "exactly16bytes!!"};
  for (const auto& t : texts) {
    auto back = JVXCrypto::decryptedDataFromString(JVXCrypto::encryptedStringOfString(t));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, t);
  }
}

TEST(JVXCrypto, BadInputGivesNothing) {
  std::string good = JVXCrypto::encryptedStringOfString("{}");
  std::string raw = *tq::base64Decode(good);
  std::string flippedLast = raw;
  flippedLast.back() ^= 0x5a;  // padding no longer valid
  struct Case {
    const char* what;
    std::string input;
  } cases[] = {
      {"empty", ""},
      {"blank", " "},
      {"not base64 alphabet", "ZCb8IYv7fsLw/dLW*Z+Lpg=="},
      {"length not a multiple of 4", "ZCb8IYv7fsLw/dLWSZ+Lpg="},
      {"misplaced padding", "ZCb8IYv7fsLw/dLW=Z+Lpg=="},
      {"line break", "ZCb8IYv7fsLw/dLW\nSZ+Lpg=="},
      {"ciphertext not whole blocks", tq::base64Encode(raw.substr(0, 15))},
      {"ciphertext with an extra byte", tq::base64Encode(raw + "x")},
      {"bad padding", tq::base64Encode(flippedLast)},
      {"HTML error page", "<html><body>502 Bad Gateway</body></html>"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(JVXCrypto::decryptedDataFromString(c.input)) << c.what;
    EXPECT_FALSE(JVXCrypto::decryptedDataFromData(c.input)) << c.what;
  }
}

TEST(JVXCrypto, HexDecoding) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  } cases[] = {
      {"", std::nullopt},
      {"a", std::nullopt},  // the one digit is dropped, nothing remains
      {"00ff", std::string("\x00\xff", 2)},
      {"AbCd", std::string("\xab\xcd")},
      {"abc", std::string("\xab")},  // odd last digit dropped
      {"zz", std::nullopt},
      {"0g", std::nullopt},
      {"ab!", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(JVXCrypto::hex(c.in), c.out) << c.in;
  EXPECT_EQ(JVXCrypto::hex(JVXCrypto::kHexKey)->size(), 32u);
  EXPECT_EQ(JVXCrypto::hex(JVXCrypto::kHexIv)->size(), 16u);
}

TEST(JVXCrypto, PrimitivesAnswerErrorValues) {
  std::string key(32, 'k'), iv(16, 'i');
  struct Case {
    const char* what;
    size_t keyLen, ivLen;
    const char* reason;  // nullptr: success
  } cases[] = {
      {"AES-128", 16, 16, nullptr},
      {"AES-192", 24, 16, nullptr},
      {"AES-256", 32, 16, nullptr},
      {"short IV", 32, 15, JVXCrypto::kIvLengthError},
      {"long IV", 32, 17, JVXCrypto::kIvLengthError},
      {"bad key length", 20, 16, JVXCrypto::kKeyLengthError},
      {"empty key", 0, 16, JVXCrypto::kKeyLengthError},
  };
  for (const auto& c : cases) {
    std::string k(c.keyLen, 'k'), v(c.ivLen, 'i');
    auto enc = JVXCrypto::aesEncryptWithData("text", k, v);
    auto dec = JVXCrypto::aesDecryptWithData(std::string(16, 'x'), k, v);
    if (!c.reason) {
      ASSERT_TRUE(enc.ok()) << c.what;
      EXPECT_EQ(enc.bytes.size(), 16u);
      auto back = JVXCrypto::aesDecryptWithData(enc.bytes, k, v);
      ASSERT_TRUE(back.ok()) << c.what;
      EXPECT_EQ(back.bytes, "text");
    } else {
      ASSERT_FALSE(enc.ok()) << c.what;
      EXPECT_EQ(enc.error->name, "Cocoa Security");
      EXPECT_EQ(enc.error->reason, c.reason);
      ASSERT_FALSE(dec.ok()) << c.what;
      EXPECT_EQ(dec.error->reason, c.reason);
    }
  }
  auto partial = JVXCrypto::aesDecryptWithData("short", key, iv);
  ASSERT_FALSE(partial.ok());
  EXPECT_EQ(partial.error->reason, JVXCrypto::kDecryptError);
  auto notBase64 = JVXCrypto::aesDecrypt("!!!!", JVXCrypto::kHexKey, JVXCrypto::kHexIv);
  ASSERT_FALSE(notBase64.ok());
  EXPECT_EQ(notBase64.error->reason, JVXCrypto::kDecryptError);
  auto hexKeyEnc = JVXCrypto::aesEncrypt("{}", JVXCrypto::kHexKey, JVXCrypto::kHexIv);
  ASSERT_TRUE(hexKeyEnc.ok());
  EXPECT_EQ(tq::base64Encode(hexKeyEnc.bytes), "ZCb8IYv7fsLw/dLWSZ+Lpg==");
  auto hexDec =
      JVXCrypto::aesDecrypt("ZCb8IYv7fsLw/dLWSZ+Lpg==", JVXCrypto::kHexKey, JVXCrypto::kHexIv);
  ASSERT_TRUE(hexDec.ok());
  EXPECT_EQ(hexDec.bytes, "{}");
}

}  // namespace
