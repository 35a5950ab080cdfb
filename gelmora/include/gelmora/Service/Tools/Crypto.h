#pragma once
// The older keyless text scrambler: a count marker, that many noise capital letters, a padding
// marker, then base64 of the inverted UTF-8 bytes without its "=" padding. Markers come from a
// table of 11 distinct two-character texts (deployment data); indexes 0-2 double as the padding
// count.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Crypto {
 public:
  static constexpr std::size_t kSboxSize = 11;

  static std::string encryptedStringOfString(std::string_view text);
  static std::string encryptedDataOfString(std::string_view text);
  // The scrambled bytes, or none for empty text, an unknown marker, a padding marker above 2,
  // a text too short for its markers or a body that is not base64.
  static std::optional<std::string> decryptedDataFromString(std::optional<std::string_view> text);
  static std::optional<std::string> decryptedDataFromData(std::optional<std::string_view> data);

  static std::string base64enc(std::string_view bytes);
  static std::optional<std::string> base64dec(std::string_view text);
  // Index 0-10 of the table entry equal to the text's first two characters; -1 otherwise.
  static int num_of_str_in_sobx(std::optional<std::string_view> text);

  // Table: 11 distinct entries of two characters from the form-safe set (letters, digits,
  // "-._~"), so a scrambled text survives a form body unescaped.
  static const std::vector<std::string>& sbox();
  static const std::vector<std::string>& defaultSbox();
  static bool validateSbox(const std::vector<std::string>& table, std::string* error = nullptr);
  // Installs a checked table; a refused one leaves the installed table in place.
  static bool setSbox(const std::vector<std::string>& table, std::string* error = nullptr);
  // Reads a JSON array of 11 texts and installs it.
  static bool loadSbox(const std::string& path, std::string* error = nullptr);
};
