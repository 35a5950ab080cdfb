#pragma once
// Keychain items in a JSON file: folder 0700, file 0600, each change a read-modify-write under an
// flock, written to a temporary file, synced and renamed over the old one.
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "platform/keychain/Keychain.h"

namespace platform::keychain {

class FileBackend : public Backend {
 public:
  // `file` is the JSON file; its folder is created (0700) when missing.
  explicit FileBackend(std::filesystem::path file);

  std::optional<std::string> password(std::string_view service, std::string_view account) override;
  bool setPassword(std::string_view password, std::string_view service,
                   std::string_view account) override;
  bool deletePassword(std::string_view service, std::string_view account) override;
  std::string name() const override { return "file"; }

  const std::filesystem::path& file() const { return file_; }

  using Items = std::map<std::pair<std::string, std::string>, std::string>;
  // Parses the file's content; false with a reason in `error` when it is not a valid item file.
  static bool parse(std::string_view text, Items& items, std::string& error);
  static std::string serialize(const Items& items);

 private:
  std::filesystem::path file_;
};

}  // namespace platform::keychain
