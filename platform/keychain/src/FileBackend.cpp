#include "platform/keychain/FileBackend.h"

namespace platform::keychain {

FileBackend::FileBackend(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> FileBackend::password(std::string_view, std::string_view) {
  return std::nullopt;
}
bool FileBackend::setPassword(std::string_view, std::string_view, std::string_view) {
  return false;
}
bool FileBackend::deletePassword(std::string_view, std::string_view) { return false; }
bool FileBackend::parse(std::string_view, Items&, std::string& error) {
  error = "not implemented";
  return false;
}
std::string FileBackend::serialize(const Items&) { return "{}"; }

}  // namespace platform::keychain
