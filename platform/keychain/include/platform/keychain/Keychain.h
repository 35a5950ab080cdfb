#pragma once
// Generic-password items keyed by service and account. Stored in the Secret Service when one
// answers on the session bus, else in a private JSON file; the back end is chosen once per process.
//
// Environment: GELMORA_KEYCHAIN_DIR forces the file back end and names its folder.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::keychain {

class Backend {
 public:
  virtual ~Backend() = default;
  // The stored password, or nullopt when there is none or it cannot be read.
  virtual std::optional<std::string> password(std::string_view service,
                                              std::string_view account) = 0;
  // Stores (or replaces) the password; false on failure.
  virtual bool setPassword(std::string_view password, std::string_view service,
                           std::string_view account) = 0;
  // Removes the item; false when it did not exist or could not be removed.
  virtual bool deletePassword(std::string_view service, std::string_view account) = 0;
  // "file" or "secret-service", for logs.
  virtual std::string name() const = 0;
};

using BackendPtr = std::shared_ptr<Backend>;

// The process-wide back end, chosen on first use (and logged).
BackendPtr backend();
// Replaces the process-wide back end (tests); nullptr makes the next use choose again.
void installBackend(BackendPtr backend);

// The password stored for service and account, or nullopt.
std::optional<std::string> password(std::string_view service, std::string_view account);
// Stores the password for service and account; reports success.
bool setPassword(std::string_view password, std::string_view service, std::string_view account);
// Deletes the password for service and account; reports success.
bool deletePassword(std::string_view service, std::string_view account);

// Folder of the file back end: $GELMORA_KEYCHAIN_DIR, else $XDG_DATA_HOME/gelmora, else
// ~/.local/share/gelmora.
std::filesystem::path defaultFileFolder();

}  // namespace platform::keychain
