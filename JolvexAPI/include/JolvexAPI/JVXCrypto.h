#pragma once
// AES envelope of the account and feedback services: AES-CBC with PKCS#7 padding under a fixed
// key and IV, ciphertext as standard base64. Needs only OpenSSL and the base64 codec, so other
// parts (geo lookup) can use it alone.
#include <optional>
#include <string>
#include <string_view>

// An error of the AES primitives: they answer it instead of raising.
struct JVXCryptoError {
  std::string name = "Cocoa Security";
  std::string reason;
};

// Bytes, or the error that stopped them.
struct JVXCryptoResult {
  std::string bytes;
  std::optional<JVXCryptoError> error;
  bool ok() const { return !error.has_value(); }
};

class JVXCrypto {
 public:
  // The fixed key (AES-256) and IV of the service envelope, as hexadecimal text.
  static constexpr const char* kHexKey =
      "7c3a9e510b8d4f26e3a17c59d20b6e84f15a3c9708e2d4b6a9c5173e5f0d82b4";
  static constexpr const char* kHexIv = "d4e5f6a7b8c9d0e1f2a3b4c5d6e7f809";

  static constexpr const char* kIvLengthError =
      "Length of iv is wrong. Length of iv should be 16(128bits)";
  static constexpr const char* kKeyLengthError =
      "Length of key is wrong. Length of key should be 16, 24 or 32(128, 192 or 256bits)";
  static constexpr const char* kEncryptError = "Encrypt Error!";
  static constexpr const char* kDecryptError = "Decrypt Error!";

  // Two hex digits (either case) per byte; an odd last digit is dropped. Nothing for empty text,
  // for a non-hex digit, or when no whole byte remains.
  static std::optional<std::string> hex(std::string_view text);

  // The key length picks AES-128, -192 or -256 (16, 24, 32 bytes); the IV must be 16 bytes.
  static JVXCryptoResult aesEncryptWithData(std::string_view data, std::string_view key,
                                            std::string_view iv);
  static JVXCryptoResult aesDecryptWithData(std::string_view data, std::string_view key,
                                            std::string_view iv);

  // Ciphertext of the text's bytes under a hex key and IV.
  static JVXCryptoResult aesEncrypt(std::string_view text, std::string_view hexKey,
                                    std::string_view hexIv);
  // Plain bytes of base64 ciphertext under a hex key and IV; bad base64 is a decrypt error.
  static JVXCryptoResult aesDecrypt(std::string_view base64Text, std::string_view hexKey,
                                    std::string_view hexIv);

  // Base64 ciphertext under the fixed key and IV (as bytes, and as text: the same here).
  static std::string encryptedDataOfString(std::string_view text);
  static std::string encryptedStringOfString(std::string_view text);

  // Plain bytes of base64 ciphertext under the fixed key and IV; nothing for empty text, text
  // that is not strict base64, ciphertext that is not whole blocks or has bad padding.
  static std::optional<std::string> decryptedDataFromString(std::string_view base64Text);
  // The same for the bytes of a body read as text; nothing for empty data.
  static std::optional<std::string> decryptedDataFromData(std::string_view data);
};
