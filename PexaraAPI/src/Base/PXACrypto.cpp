#include "PexaraAPI/PXACrypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Tovra/Codec/Base64.h"

namespace {

// Project default: letters, digits, "-" and "_" only, so the older HTTP layer can put the
// scrambled text into a form body unescaped. Deployments replace it through the tables file.
const PXACrypto::Tables kDefaultTables{
    {"Xr", "k0", "Bm", "av", "Ph", "2U", "mQ", "cL", "v4", "un", "pf"},
    "RCv6_W0hOFlpUwQH4LB5bZnxNuf3MA79YV2d8EjgDk1cKsyqoItiXzGSTaJrP-em",
};

PXACrypto::Tables& installedTables() {
  static PXACrypto::Tables tables = kDefaultTables;
  return tables;
}

PXACrypto::RandomSource& randomSource() {
  static PXACrypto::RandomSource source;
  return source;
}

void kernelRandom(uint8_t* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = getrandom(out + done, count - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Without a random source the noise would be predictable; there is no sane fallback.
      std::abort();
    }
    done += static_cast<size_t>(n);
  }
}

void randomBytes(uint8_t* out, size_t count) {
  if (count == 0) return;
  auto& source = randomSource();
  if (source) {
    source(out, count);
  } else {
    kernelRandom(out, count);
  }
}

// Uniform over 0..9: bytes 250..255 would favour 0..5, so they are drawn again.
unsigned randomDigit() {
  for (;;) {
    uint8_t b = 0;
    randomBytes(&b, 1);
    if (b < 250) return b % 10;
  }
}

std::string invert(std::string_view bytes) {
  std::string out(bytes);
  for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
  return out;
}

bool printableAscii(unsigned char c) { return c > 0x20 && c < 0x7F; }

bool fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

}  // namespace

std::string PXACrypto::encryptedStringOfString(std::string_view text) {
  const Tables& t = installedTables();
  std::string b64 = tq::base64Encode(invert(text));
  size_t cut = b64.find('=');
  size_t padding = 0;
  if (cut != std::string::npos) {
    padding = b64.size() - cut;
    b64.resize(cut);
  }
  unsigned r = randomDigit();
  std::string out;
  out.reserve(2 + r + 1 + 2 + b64.size());
  out += t.markers[r + 1];
  out += rndString(r + 1);
  out += t.markers[padding];
  out += b64;
  return out;
}

std::string PXACrypto::encryptedDataOfString(std::string_view text) {
  return encryptedStringOfString(text);
}

std::optional<std::string> PXACrypto::decryptedDataFromString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t k = rndCharIndexFromString(text);
  if (k == kNotFound) return std::nullopt;
  size_t skip = 2 + static_cast<size_t>(k);
  if (text.size() < skip) return std::nullopt;
  std::string_view rest = text.substr(skip);
  int64_t n = rndCharIndexFromString(rest);
  if (n == kNotFound) return std::nullopt;
  std::string b64(rest.substr(2));
  b64.append(static_cast<size_t>(n), '=');
  while (b64.size() % 4 != 0) b64 += '=';
  // Undecodable base64 gives empty bytes rather than nothing; callers treat both as failure.
  auto decoded = tq::base64Decode(b64);
  if (!decoded) return std::string();
  return invert(*decoded);
}

std::optional<std::string> PXACrypto::decryptedDataFromData(std::string_view data) {
  if (data.empty()) return std::nullopt;
  return decryptedDataFromString(data);
}

std::string PXACrypto::rndString(size_t length) {
  const std::string& alphabet = installedTables().chars;
  std::string bytes(length, '\0');
  randomBytes(reinterpret_cast<uint8_t*>(bytes.data()), length);
  for (char& c : bytes) c = alphabet[static_cast<unsigned char>(c) & 63];
  return bytes;
}

int64_t PXACrypto::rndCharIndexFromString(std::string_view text) {
  if (text.size() < 2) return kNotFound;
  std::string_view head = text.substr(0, 2);
  const auto& markers = installedTables().markers;
  for (size_t i = 0; i < markers.size(); ++i) {
    if (markers[i] == head) return static_cast<int64_t>(i);
  }
  return kNotFound;
}

const std::string& PXACrypto::chars() { return installedTables().chars; }

const PXACrypto::Tables& PXACrypto::defaultTables() { return kDefaultTables; }

const PXACrypto::Tables& PXACrypto::tables() { return installedTables(); }

bool PXACrypto::validateTables(const Tables& tables, std::string* error) {
  if (tables.markers.size() != 11) {
    return fail(error, "scrambler tables: expected 11 markers, got " +
                           std::to_string(tables.markers.size()));
  }
  std::set<std::string> seenMarkers;
  for (size_t i = 0; i < tables.markers.size(); ++i) {
    const std::string& m = tables.markers[i];
    if (m.size() != 2 || !printableAscii(static_cast<unsigned char>(m[0])) ||
        !printableAscii(static_cast<unsigned char>(m[1]))) {
      return fail(error, "scrambler tables: marker " + std::to_string(i) +
                             " is not two printable, non-blank ASCII characters");
    }
    if (!seenMarkers.insert(m).second) {
      return fail(error, "scrambler tables: marker \"" + m + "\" appears twice");
    }
  }
  if (tables.chars.size() != 64) {
    return fail(error, "scrambler tables: expected 64 noise characters, got " +
                           std::to_string(tables.chars.size()) + " bytes");
  }
  std::set<char> seenChars;
  for (char c : tables.chars) {
    if (!printableAscii(static_cast<unsigned char>(c))) {
      return fail(error, "scrambler tables: noise characters must be printable, non-blank ASCII");
    }
    if (!seenChars.insert(c).second) {
      return fail(error,
                  std::string("scrambler tables: noise character '") + c + "' appears twice");
    }
  }
  return true;
}

bool PXACrypto::setTables(const Tables& tables, std::string* error) {
  if (!validateTables(tables, error)) return false;
  installedTables() = tables;
  return true;
}

std::optional<PXACrypto::Tables> PXACrypto::parseTables(std::string_view json, std::string* error) {
  auto doc = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (doc.is_discarded()) {
    fail(error, "scrambler tables: not valid JSON");
    return std::nullopt;
  }
  if (!doc.is_object()) {
    fail(error, "scrambler tables: top level must be an object");
    return std::nullopt;
  }
  auto markers = doc.find("markers");
  auto chars = doc.find("chars");
  if (markers == doc.end() || !markers->is_array()) {
    fail(error, "scrambler tables: \"markers\" must be an array of texts");
    return std::nullopt;
  }
  if (chars == doc.end() || !chars->is_string()) {
    fail(error, "scrambler tables: \"chars\" must be a text");
    return std::nullopt;
  }
  Tables tables;
  for (const auto& m : *markers) {
    if (!m.is_string()) {
      fail(error, "scrambler tables: \"markers\" must be an array of texts");
      return std::nullopt;
    }
    tables.markers.push_back(m.get<std::string>());
  }
  tables.chars = chars->get<std::string>();
  if (!validateTables(tables, error)) return std::nullopt;
  return tables;
}

bool PXACrypto::loadTables(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(error, "scrambler tables: cannot read " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  auto tables = parseTables(buffer.str(), error);
  if (!tables) return false;
  return setTables(*tables, error);
}

std::string PXACrypto::installDeploymentTables() {
  const char* path = std::getenv(kTablesEnvironmentVariable);
  if (path == nullptr || *path == '\0') {
    installedTables() = kDefaultTables;
    return "PXACrypto: using the built-in project scrambler tables";
  }
  std::string error;
  if (!loadTables(path, &error)) {
    return "PXACrypto: " + error + "; keeping the tables in use";
  }
  return std::string("PXACrypto: scrambler tables from ") + path;
}

void PXACrypto::setRandomSource(RandomSource source) { randomSource() = std::move(source); }
