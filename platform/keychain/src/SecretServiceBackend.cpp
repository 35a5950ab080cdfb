#include "platform/keychain/SecretServiceBackend.h"

namespace platform::keychain {

std::shared_ptr<SecretServiceBackend> SecretServiceBackend::connect(std::string* why) {
  if (why) *why = "not available";
  return nullptr;
}
std::optional<std::string> SecretServiceBackend::password(std::string_view, std::string_view) {
  return std::nullopt;
}
bool SecretServiceBackend::setPassword(std::string_view, std::string_view, std::string_view) {
  return false;
}
bool SecretServiceBackend::deletePassword(std::string_view, std::string_view) { return false; }

}  // namespace platform::keychain
