#include "platform/netext/TunnelProviderManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "platform/dispatch/Queue.h"
#include "platform/netext/TunnelConnection.h"

namespace platform::netext {
namespace {

using nlohmann::json;

std::mutex& pathMutex() {
  static std::mutex mu;
  return mu;
}
std::string& pathOverride() {
  static std::string path;
  return path;
}

// Serialises read-modify-write of the file within this process.
std::mutex& fileMutex() {
  static std::mutex mu;
  return mu;
}

ControlError managerError(std::int64_t code, std::string description) {
  return ControlError{kTunnelManagerErrorDomain, code, std::move(description)};
}

void logLine(const std::string& line) { std::fprintf(stderr, "netext: %s\n", line.c_str()); }

std::string newIdentifier() {
  std::random_device rd;
  std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
  uint64_t a = gen(), b = gen();
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0xffff),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return text;
}

bool readString(const json& object, const char* key, std::string& out, ControlError* error,
                bool required) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    if (required && error) *error = managerError(3, std::string("\"") + key + "\" is missing");
    return !required;
  }
  if (!it->is_string()) {
    if (error) *error = managerError(3, std::string("\"") + key + "\" is not a string");
    return false;
  }
  out = it->get<std::string>();
  return true;
}

bool readBool(const json& object, const char* key, bool& out, ControlError* error) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_boolean()) {
    if (error) *error = managerError(3, std::string("\"") + key + "\" is not a boolean");
    return false;
  }
  out = it->get<bool>();
  return true;
}

// Missing file: no configurations and no error. Unreadable or corrupt: none, with the reason.
std::vector<SavedTunnelConfiguration> readAll(const std::string& path, ControlError* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno != ENOENT && error)
      *error = managerError(errno, "cannot read " + path + ": " + std::strerror(errno));
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  ControlError e;
  auto configurations = decodeTunnelPreferences(text.str(), &e);
  if (!configurations) {
    if (error) *error = managerError(e.code, path + ": " + e.description);
    return {};
  }
  return *configurations;
}

std::optional<ControlError> makeFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return managerError(errno, "cannot create " + part + ": " + std::strerror(errno));
  }
  return std::nullopt;
}

std::optional<ControlError> writeAll(const std::string& path,
                                     const std::vector<SavedTunnelConfiguration>& configurations) {
  auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (auto e = makeFolders(path.substr(0, slash + 1))) return e;
  }
  const std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return managerError(errno, "cannot write " + temp + ": " + std::strerror(errno));
  const std::string text = encodeTunnelPreferences(configurations);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      return managerError(err, "cannot write " + temp + ": " + std::strerror(err));
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return managerError(err, "cannot replace " + path + ": " + std::strerror(err));
  }
  return std::nullopt;
}

void onMain(std::function<void()> task) { platform::dispatch::postToMain(std::move(task)); }

}  // namespace

std::optional<std::vector<SavedTunnelConfiguration>> decodeTunnelPreferences(std::string_view text,
                                                                             ControlError* error) {
  if (text.size() > kMaxControlMessageSize) {
    if (error) *error = managerError(1, "preferences larger than 1 MiB");
    return std::nullopt;
  }
  json root = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) {
    if (error) *error = managerError(2, "preferences are not a JSON object");
    return std::nullopt;
  }
  auto list = root.find("configurations");
  if (list == root.end() || !list->is_array()) {
    if (error) *error = managerError(3, "\"configurations\" is missing or not a list");
    return std::nullopt;
  }
  std::vector<SavedTunnelConfiguration> out;
  for (const auto& item : *list) {
    if (!item.is_object()) {
      if (error) *error = managerError(3, "a configuration is not an object");
      return std::nullopt;
    }
    SavedTunnelConfiguration c;
    if (!readString(item, "identifier", c.identifier, error, true) ||
        !readString(item, "localizedDescription", c.localizedDescription, error, false) ||
        !readBool(item, "enabled", c.enabled, error) ||
        !readBool(item, "onDemandEnabled", c.onDemandEnabled, error))
      return std::nullopt;
    if (c.identifier.empty()) {
      if (error) *error = managerError(3, "\"identifier\" is empty");
      return std::nullopt;
    }
    auto protocol = item.find("protocol");
    if (protocol != item.end() && !protocol->is_null()) {
      if (!protocol->is_object()) {
        if (error) *error = managerError(3, "\"protocol\" is not an object");
        return std::nullopt;
      }
      TunnelProviderProtocol p;
      if (!readString(*protocol, "providerBundleIdentifier", p.providerBundleIdentifier, error,
                      false) ||
          !readString(*protocol, "serverAddress", p.serverAddress, error, false))
        return std::nullopt;
      c.protocol = std::move(p);
    }
    out.push_back(std::move(c));
  }
  return out;
}

std::string encodeTunnelPreferences(const std::vector<SavedTunnelConfiguration>& configurations) {
  json list = json::array();
  for (const auto& c : configurations) {
    json item = {{"identifier", c.identifier},
                 {"localizedDescription", c.localizedDescription},
                 {"enabled", c.enabled},
                 {"onDemandEnabled", c.onDemandEnabled}};
    if (c.protocol) {
      item["protocol"] = {{"providerBundleIdentifier", c.protocol->providerBundleIdentifier},
                          {"serverAddress", c.protocol->serverAddress}};
    }
    list.push_back(std::move(item));
  }
  return json{{"configurations", list}}.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

TunnelProviderManager::TunnelProviderManager(SavedTunnelConfiguration configuration)
    : config_(std::move(configuration)) {
  if (config_.identifier.empty()) config_.identifier = newIdentifier();
}

TunnelProviderManager::Ptr TunnelProviderManager::create() {
  return std::make_shared<TunnelProviderManager>(SavedTunnelConfiguration{});
}

void TunnelProviderManager::setPreferencesPath(std::string path) {
  std::lock_guard lock(pathMutex());
  pathOverride() = std::move(path);
}

std::string TunnelProviderManager::preferencesPath() {
  {
    std::lock_guard lock(pathMutex());
    if (!pathOverride().empty()) return pathOverride();
  }
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + "/.config";
  } else {
    base = "/tmp";
  }
  return base + "/galvent/tunnels.json";
}

void TunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completion) {
  std::vector<Ptr> managers;
  {
    std::lock_guard lock(fileMutex());
    ControlError error;
    const std::string path = preferencesPath();
    auto configurations = readAll(path, &error);
    if (!error.domain.empty())
      logLine("ignoring saved tunnel configurations: " + error.description);
    for (auto& c : configurations) managers.push_back(std::make_shared<TunnelProviderManager>(c));
  }
  // A loaded configuration reports the state of its daemon, as a restarted app expects.
  for (auto& m : managers) m->refreshConnection();
  onMain([completion = std::move(completion), managers = std::move(managers)] {
    if (completion) completion(managers, std::nullopt);
  });
}

void TunnelProviderManager::saveToPreferences(ErrorCompletion completion) {
  std::optional<ControlError> result;
  {
    std::lock_guard lock(fileMutex());
    const std::string path = preferencesPath();
    auto configurations = readAll(path, nullptr);
    bool replaced = false;
    for (auto& c : configurations) {
      if (c.identifier == config_.identifier) {
        c = config_;
        replaced = true;
      }
    }
    if (!replaced) configurations.push_back(config_);
    result = writeAll(path, configurations);
  }
  if (!result && connection_ && config_.protocol &&
      connection_->providerBundleIdentifier() != config_.protocol->providerBundleIdentifier) {
    connection_.reset();  // the configuration now names another daemon
  }
  onMain([completion = std::move(completion), result] {
    if (completion) completion(result);
  });
}

void TunnelProviderManager::removeFromPreferences(ErrorCompletion completion) {
  std::optional<ControlError> result;
  {
    std::lock_guard lock(fileMutex());
    const std::string path = preferencesPath();
    auto configurations = readAll(path, nullptr);
    auto before = configurations.size();
    std::erase_if(configurations, [&](const SavedTunnelConfiguration& c) {
      return c.identifier == config_.identifier;
    });
    if (configurations.size() == before) {
      result = managerError(ENOENT, "the configuration is not saved");
    } else {
      result = writeAll(path, configurations);
    }
  }
  onMain([completion = std::move(completion), result] {
    if (completion) completion(result);
  });
}

void TunnelProviderManager::loadFromPreferences(ErrorCompletion completion) {
  std::optional<ControlError> result;
  {
    std::lock_guard lock(fileMutex());
    ControlError error;
    auto configurations = readAll(preferencesPath(), &error);
    if (!error.domain.empty()) {
      result = error;
    } else {
      result = managerError(ENOENT, "the configuration is not saved");
      for (auto& c : configurations) {
        if (c.identifier == config_.identifier) {
          config_ = c;
          result.reset();
        }
      }
    }
  }
  if (!result) refreshConnection();
  onMain([completion = std::move(completion), result] {
    if (completion) completion(result);
  });
}

void TunnelProviderManager::refreshConnection() {
  if (!config_.protocol) return;
  connection()->refreshStatus();
}

const std::optional<TunnelProviderProtocol>& TunnelProviderManager::protocolConfiguration() const {
  return config_.protocol;
}
void TunnelProviderManager::setProtocolConfiguration(std::optional<TunnelProviderProtocol> p) {
  config_.protocol = std::move(p);
}
const std::string& TunnelProviderManager::localizedDescription() const {
  return config_.localizedDescription;
}
void TunnelProviderManager::setLocalizedDescription(std::string d) {
  config_.localizedDescription = std::move(d);
}
bool TunnelProviderManager::enabled() const { return config_.enabled; }
void TunnelProviderManager::setEnabled(bool on) { config_.enabled = on; }
bool TunnelProviderManager::onDemandEnabled() const { return config_.onDemandEnabled; }
void TunnelProviderManager::setOnDemandEnabled(bool on) { config_.onDemandEnabled = on; }
const std::string& TunnelProviderManager::identifier() const { return config_.identifier; }

std::shared_ptr<TunnelConnection> TunnelProviderManager::connection() {
  if (!connection_) {
    connection_ = std::make_shared<TunnelConnection>(
        config_.protocol ? config_.protocol->providerBundleIdentifier : std::string());
  }
  return connection_;
}

}  // namespace platform::netext
