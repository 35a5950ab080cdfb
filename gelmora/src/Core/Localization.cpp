#include "gelmora/Core/Localization.h"

#include <mutex>

namespace gelmora {

namespace {
std::mutex& tableMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string, std::less<>>& table() {
  static std::map<std::string, std::string, std::less<>> t;
  return t;
}
}  // namespace

std::string localizedString(std::string_view key) {
  std::lock_guard lock(tableMutex());
  auto it = table().find(key);
  return it != table().end() ? it->second : std::string(key);
}

void setLocalizationTable(std::map<std::string, std::string, std::less<>> t) {
  std::lock_guard lock(tableMutex());
  table() = std::move(t);
}

}  // namespace gelmora
