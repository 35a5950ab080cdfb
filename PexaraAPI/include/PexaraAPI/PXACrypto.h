#pragma once
// Keyless scrambler of the game service: inverted UTF-8 bytes in base64, behind a count marker,
// 1 to 10 noise characters and a padding marker. The same scrambler serves the game-service
// envelope, the tunnel engine's log upload and rule-file cache, and the older HTTP layer.
//
// Bytes are held in std::string, as everywhere in Tovra.
//
// Results of unscrambling come in three kinds, and callers must tell them apart:
//   - nothing (std::nullopt): no marker, unknown marker, text too short;
//   - empty bytes: the markers were read but the base64 part does not decode;
//   - the plain bytes.
// Empty bytes are never a valid message: every user (envelope, log upload, rule cache, older HTTP
// layer) must count empty the same as nothing, i.e. as a failure.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class PXACrypto {
 public:
  // Deployment data shared with the game service and the other users of the scrambler.
  // markers[0..10]: index k >= 1 announces k noise characters; indexes 0, 1, 2 also give the
  // number of "=" cut from the base64 text. chars: the 64-character noise alphabet.
  struct Tables {
    std::vector<std::string> markers;
    std::string chars;
    bool operator==(const Tables&) const = default;
  };

  // Fills `out` with random bytes. The default reads the kernel's source (getrandom).
  using RandomSource = std::function<void(uint8_t* out, size_t count)>;

  // Returned by rndCharIndexFromString when the text starts with no known marker.
  static constexpr int64_t kNotFound = INT64_MAX;

  static std::string encryptedStringOfString(std::string_view text);
  static std::string encryptedDataOfString(std::string_view text);
  static std::optional<std::string> decryptedDataFromString(std::string_view text);
  static std::optional<std::string> decryptedDataFromData(std::string_view data);

  // `length` characters drawn uniformly from the noise alphabet.
  static std::string rndString(size_t length);
  // Index in the marker table of the text's first two characters, or kNotFound.
  static int64_t rndCharIndexFromString(std::string_view text);

  // The noise alphabet of the installed tables.
  static const std::string& chars();

  // Tables: one set per process, installed at start before the first scramble and read without
  // locks afterwards. A refused set leaves the installed one in place.
  static const Tables& defaultTables();
  static const Tables& tables();
  static bool validateTables(const Tables& tables, std::string* error = nullptr);
  static bool setTables(const Tables& tables, std::string* error = nullptr);
  // Reads {"markers": [11 texts], "chars": "<64 characters>"} and installs it.
  static bool loadTables(const std::string& path, std::string* error = nullptr);
  // Parses the same JSON document from memory (the file reader and the fuzz target share it).
  static std::optional<Tables> parseTables(std::string_view json, std::string* error = nullptr);

  // Name of the environment variable that points at the deployment tables file.
  static constexpr const char* kTablesEnvironmentVariable = "PEXARA_SCRAMBLER_TABLES";
  // Host start-up: installs the file named by the environment variable, else keeps the built-in
  // default. Returns the one log line that says which set is in use (the host writes it once).
  static std::string installDeploymentTables();

  // Tests replace the random source; an empty function restores getrandom.
  static void setRandomSource(RandomSource source);
};
