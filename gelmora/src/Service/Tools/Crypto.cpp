#include "gelmora/Service/Tools/Crypto.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Tovra/Codec/Base64.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

std::mutex& sboxMutex() {
  static std::mutex m;
  return m;
}

std::vector<std::string>& installed() {
  static std::vector<std::string> table = Crypto::defaultSbox();
  return table;
}

bool formSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string inverted(std::string_view bytes) {
  std::string out(bytes);
  for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
  return out;
}

}  // namespace

const std::vector<std::string>& Crypto::defaultSbox() {
  static const std::vector<std::string> table = {"q7", "Xm", "3k", "Tz", "a9", "R2",
                                                 "w5", "Jd", "8h", "Lc", "0v"};
  return table;
}

const std::vector<std::string>& Crypto::sbox() {
  std::lock_guard lock(sboxMutex());
  return installed();
}

bool Crypto::validateSbox(const std::vector<std::string>& table, std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (table.size() != kSboxSize) return fail("the table needs 11 entries");
  std::set<std::string> seen;
  for (const auto& entry : table) {
    if (entry.size() != 2) return fail("entry \"" + entry + "\" is not two characters");
    if (!formSafe(entry[0]) || !formSafe(entry[1])) {
      return fail("entry \"" + entry + "\" holds a character that a form would escape");
    }
    if (!seen.insert(entry).second) return fail("entry \"" + entry + "\" appears twice");
  }
  return true;
}

bool Crypto::setSbox(const std::vector<std::string>& table, std::string* error) {
  if (!validateSbox(table, error)) return false;
  std::lock_guard lock(sboxMutex());
  installed() = table;
  return true;
}

bool Crypto::loadSbox(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_array()) {
    if (error) *error = path + " is not a JSON array";
    return false;
  }
  std::vector<std::string> table;
  for (const auto& v : doc) {
    if (!v.is_string()) {
      if (error) *error = path + " holds an entry that is not text";
      return false;
    }
    table.push_back(v.get<std::string>());
  }
  return setSbox(table, error);
}

std::string Crypto::base64enc(std::string_view bytes) { return tq::base64Encode(bytes); }

std::optional<std::string> Crypto::base64dec(std::string_view text) {
  return tq::base64Decode(text);
}

int Crypto::num_of_str_in_sobx(std::optional<std::string_view> text) {
  if (!text || text->size() < 2) return -1;
  std::string_view head = text->substr(0, 2);
  std::lock_guard lock(sboxMutex());
  const auto& table = installed();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i] == head) return static_cast<int>(i);
  }
  return -1;
}

std::string Crypto::encryptedStringOfString(std::string_view text) {
  std::vector<std::string> table;
  {
    std::lock_guard lock(sboxMutex());
    table = installed();
  }
  const int c = Tessaryn::randomIntegerFrom(1, 10);
  std::string out = table[static_cast<std::size_t>(c)];
  for (int i = 0; i < c; ++i) out += static_cast<char>('A' + Tessaryn::randomIntegerFrom(0, 25));
  std::string body = base64enc(inverted(text));
  std::size_t p = 0;
  if (body.size() >= 2 && body.compare(body.size() - 2, 2, "==") == 0) {
    p = 2;
  } else if (!body.empty() && body.back() == '=') {
    p = 1;
  }
  out += table[p];
  out.append(body, 0, body.size() - p);
  return out;
}

std::string Crypto::encryptedDataOfString(std::string_view text) {
  return encryptedStringOfString(text);
}

std::optional<std::string> Crypto::decryptedDataFromString(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  const int c = num_of_str_in_sobx(text);
  if (c < 0) return std::nullopt;
  const std::size_t padAt = 2 + static_cast<std::size_t>(c);
  if (text->size() < padAt + 2) return std::nullopt;
  const int p = num_of_str_in_sobx(text->substr(padAt));
  if (p < 0 || p > 2) return std::nullopt;  // only indexes 0-2 count padding
  std::string body(text->substr(padAt + 2));
  body.append(static_cast<std::size_t>(p), '=');
  auto decoded = base64dec(body);
  if (!decoded) return std::nullopt;
  return inverted(*decoded);
}

std::optional<std::string> Crypto::decryptedDataFromData(std::optional<std::string_view> data) {
  if (!data) return std::nullopt;
  return decryptedDataFromString(*data);
}
