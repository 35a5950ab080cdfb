#pragma once
// Persistent key-value settings of one application domain, kept as one JSON object file.
// Every change is written through at once (temporary file, fsync, rename, folder fsync), so a
// crash leaves either the old or the new file, never a torn one. The file holds session data,
// so it is mode 0600 in a 0700 folder.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::defaults {

using Bytes = std::vector<std::uint8_t>;

// One stored value. Bytes are tagged in the file and never read back as text.
using Value = std::variant<bool, std::int64_t, double, std::string, Bytes>;

using Map = std::map<std::string, Value, std::less<>>;

class Store {
 public:
  // The application's own file: ${XDG_CONFIG_HOME:-$HOME/.config}/<domain>/defaults.json.
  static std::filesystem::path pathForDomain(std::string_view domain);
  static constexpr std::string_view kApplicationDomain = "cn.gelmoras.Gelmoras2";

  // Loads the file if there is one. A file that is not a JSON object is logged, renamed to
  // "<name>.bad" and the store starts empty; a file readable by others is set to 0600.
  explicit Store(std::filesystem::path file);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::optional<Value> get(std::string_view key) const;
  bool contains(std::string_view key) const;
  Map snapshot() const;

  // Typed reads. A bool reads true from true, a non-zero number, or the texts "YES" and
  // "true" (any case); text reads answer numbers as decimal text; bytes are never text.
  std::optional<bool> boolValue(std::string_view key) const;
  std::optional<std::string> textValue(std::string_view key) const;
  std::optional<Bytes> bytesValue(std::string_view key) const;

  // Writes answer whether the file was written; a failed write keeps the change in memory
  // and the old file on disk, and logs.
  bool set(std::string_view key, Value value);
  bool remove(std::string_view key);
  // Forgets every key and deletes the file.
  bool removeDomain();

  // Parses file content into a map; nullopt with a reason when it is not a JSON object.
  // Members of kinds a store never writes (null, arrays, untagged objects) are skipped.
  static std::optional<Map> parse(std::string_view text, std::string* error = nullptr);
  static std::string serialize(const Map& map);

  // Where log lines go (stderr unless replaced); used by tests to see what was reported.
  static void setLogSink(std::function<void(const std::string&)> sink);

 private:
  void load();
  bool writeLocked();

  std::filesystem::path path_;
  mutable std::mutex mutex_;
  Map values_;
};

}  // namespace platform::defaults
