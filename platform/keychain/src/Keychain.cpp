#include "platform/keychain/Keychain.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/keychain/FileBackend.h"
#include "platform/keychain/SecretServiceBackend.h"

namespace platform::keychain {

namespace {
std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}
BackendPtr& slot() {
  static BackendPtr b;
  return b;
}

BackendPtr choose() {
  if (const char* dir = std::getenv("GELMORA_KEYCHAIN_DIR"); dir && *dir) {
    auto file = std::filesystem::path(dir) / "keychain.json";
    std::fprintf(stderr, "keychain: file %s (GELMORA_KEYCHAIN_DIR)\n", file.c_str());
    return std::make_shared<FileBackend>(file);
  }
  std::string why;
  if (auto ss = SecretServiceBackend::connect(&why)) {
    std::fprintf(stderr, "keychain: Secret Service\n");
    return ss;
  }
  auto file = defaultFileFolder() / "keychain.json";
  std::fprintf(stderr, "keychain: file %s (no Secret Service: %s)\n", file.c_str(), why.c_str());
  return std::make_shared<FileBackend>(file);
}
}  // namespace

std::filesystem::path defaultFileFolder() {
  if (const char* dir = std::getenv("GELMORA_KEYCHAIN_DIR"); dir && *dir) return dir;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data && data[0] == '/')
    return std::filesystem::path(data) / "gelmora";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".local/share/gelmora";
}

BackendPtr backend() {
  std::lock_guard lock(slotMutex());
  if (!slot()) slot() = choose();
  return slot();
}

void installBackend(BackendPtr b) {
  std::lock_guard lock(slotMutex());
  slot() = std::move(b);
}

std::optional<std::string> password(std::string_view service, std::string_view account) {
  return backend()->password(service, account);
}

bool setPassword(std::string_view pw, std::string_view service, std::string_view account) {
  return backend()->setPassword(pw, service, account);
}

bool deletePassword(std::string_view service, std::string_view account) {
  return backend()->deletePassword(service, account);
}

}  // namespace platform::keychain
