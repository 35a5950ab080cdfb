#include "JolvexAPI/JVXCrypto.h"

#include <openssl/evp.h>

#include <memory>

#include "Tovra/Codec/Base64.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const EVP_CIPHER* cipherForKey(size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_cbc();
    case 24:
      return EVP_aes_192_cbc();
    case 32:
      return EVP_aes_256_cbc();
    default:
      return nullptr;
  }
}

JVXCryptoResult failure(const char* reason) {
  return {{}, JVXCryptoError{"Cocoa Security", reason}};
}

JVXCryptoResult runCipher(bool encrypt, std::string_view data, std::string_view key,
                          std::string_view iv) {
  if (iv.size() != 16) return failure(JVXCrypto::kIvLengthError);
  const EVP_CIPHER* cipher = cipherForKey(key.size());
  if (!cipher) return failure(JVXCrypto::kKeyLengthError);
  const char* err = encrypt ? JVXCrypto::kEncryptError : JVXCrypto::kDecryptError;
  // Input sizes beyond int cannot be handed to EVP in one piece; nothing here sends that much.
  if (data.size() > (1u << 30)) return failure(err);

  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  if (!ctx) return failure(err);
  auto k = reinterpret_cast<const unsigned char*>(key.data());
  auto v = reinterpret_cast<const unsigned char*>(iv.data());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, k, v, encrypt ? 1 : 0) != 1)
    return failure(err);
  std::string out(data.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  auto outPtr = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_CipherUpdate(ctx.get(), outPtr, &n1, reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) != 1)
    return failure(err);
  // Final fails on a partial block or bad padding when deciphering.
  if (EVP_CipherFinal_ex(ctx.get(), outPtr + n1, &n2) != 1) return failure(err);
  out.resize(static_cast<size_t>(n1 + n2));
  return {std::move(out), std::nullopt};
}

}  // namespace

std::optional<std::string> JVXCrypto::hex(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>((hi << 4) | lo);
  }
  // The dropped odd digit must still be a digit: "ab!" is not hex text.
  if (text.size() % 2 == 1 && hexDigit(text.back()) < 0) return std::nullopt;
  if (out.empty()) return std::nullopt;
  return out;
}

JVXCryptoResult JVXCrypto::aesEncryptWithData(std::string_view data, std::string_view key,
                                              std::string_view iv) {
  return runCipher(true, data, key, iv);
}

JVXCryptoResult JVXCrypto::aesDecryptWithData(std::string_view data, std::string_view key,
                                              std::string_view iv) {
  return runCipher(false, data, key, iv);
}

JVXCryptoResult JVXCrypto::aesEncrypt(std::string_view text, std::string_view hexKey,
                                      std::string_view hexIv) {
  return aesEncryptWithData(text, hex(hexKey).value_or(""), hex(hexIv).value_or(""));
}

JVXCryptoResult JVXCrypto::aesDecrypt(std::string_view base64Text, std::string_view hexKey,
                                      std::string_view hexIv) {
  std::string key = hex(hexKey).value_or(""), iv = hex(hexIv).value_or("");
  auto cipherText = tq::base64Decode(base64Text);
  if (!cipherText) {
    // Length checks come first, as for any other input.
    if (iv.size() != 16) return failure(kIvLengthError);
    if (!cipherForKey(key.size())) return failure(kKeyLengthError);
    return failure(kDecryptError);
  }
  return aesDecryptWithData(*cipherText, key, iv);
}

std::string JVXCrypto::encryptedDataOfString(std::string_view text) {
  auto r = aesEncrypt(text, kHexKey, kHexIv);
  return r.ok() ? tq::base64Encode(r.bytes) : std::string();
}

std::string JVXCrypto::encryptedStringOfString(std::string_view text) {
  return encryptedDataOfString(text);
}

std::optional<std::string> JVXCrypto::decryptedDataFromString(std::string_view base64Text) {
  if (base64Text.empty()) return std::nullopt;
  auto r = aesDecrypt(base64Text, kHexKey, kHexIv);
  if (!r.ok()) return std::nullopt;
  return std::move(r.bytes);
}

std::optional<std::string> JVXCrypto::decryptedDataFromData(std::string_view data) {
  if (data.empty()) return std::nullopt;
  return decryptedDataFromString(data);
}
