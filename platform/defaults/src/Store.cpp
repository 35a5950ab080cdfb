#include "platform/defaults/Store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace platform::defaults {

namespace {

constexpr const char* kBytesTag = "$bytes";
constexpr std::size_t kMaxFileSize = 64 * 1024 * 1024;

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& logSink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

void log(const std::string& line) {
  std::lock_guard lock(logMutex());
  if (logSink()) {
    logSink()(line);
  } else {
    std::fprintf(stderr, "defaults: %s\n", line.c_str());
  }
}

std::string hex(const Bytes& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<Bytes> unhex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = hexDigit(text[i]);
    int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

nlohmann::json toJson(const Value& value) {
  return std::visit(
      [](const auto& v) -> nlohmann::json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Bytes>) {
          return nlohmann::json{{kBytesTag, hex(v)}};
        } else if constexpr (std::is_same_v<T, double>) {
          // JSON has no NaN or infinity; they would make the file unreadable.
          return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(0.0);
        } else {
          return nlohmann::json(v);
        }
      },
      value);
}

std::optional<Value> fromJson(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::boolean:
      return Value(j.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return Value(j.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      auto u = j.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<std::int64_t>(u));
      return Value(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float:
      return Value(j.get<double>());
    case nlohmann::json::value_t::string:
      return Value(j.get<std::string>());
    case nlohmann::json::value_t::object: {
      if (j.size() != 1 || !j.contains(kBytesTag) || !j[kBytesTag].is_string()) return std::nullopt;
      auto bytes = unhex(j[kBytesTag].get<std::string>());
      if (!bytes) return std::nullopt;
      return Value(std::move(*bytes));
    }
    default:
      return std::nullopt;
  }
}

std::string numberText(double d) {
  if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18) {
    return std::to_string(static_cast<std::int64_t>(d));
  }
  std::ostringstream out;
  out.precision(17);
  out << d;
  return out.str();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool fsyncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::filesystem::path Store::pathForDomain(std::string_view domain) {
  std::filesystem::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home && *home ? home : "/tmp") / ".config";
  }
  return base / std::string(domain) / "defaults.json";
}

void Store::setLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(logMutex());
  logSink() = std::move(sink);
}

Store::Store(std::filesystem::path file) : path_(std::move(file)) { load(); }

std::optional<Map> Store::parse(std::string_view text, std::string* error) {
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) {
    if (error) *error = "not JSON";
    return std::nullopt;
  }
  if (!doc.is_object()) {
    if (error) *error = "not a JSON object";
    return std::nullopt;
  }
  Map map;
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    if (auto v = fromJson(it.value())) map.emplace(it.key(), std::move(*v));
  }
  return map;
}

std::string Store::serialize(const Map& map) {
  nlohmann::json doc = nlohmann::json::object();
  for (const auto& [key, value] : map) doc[key] = toJson(value);
  // Invalid UTF-8 in a text must not make the whole file unwritable.
  return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Store::load() {
  std::lock_guard lock(mutex_);
  values_.clear();
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT) log("cannot open " + path_.string() + ": " + std::strerror(errno));
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) {
    // The file may hold the login token: nobody else may read it.
    if (::fchmod(fd, 0600) != 0) log("cannot set mode 0600 on " + path_.string());
  }
  std::string text;
  bool tooBig = false;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) {
      tooBig = true;
      break;
    }
  }
  ::close(fd);
  std::string error = "larger than the limit";
  std::optional<Map> map;
  if (!tooBig) map = parse(text, &error);
  if (map) {
    values_ = std::move(*map);
    return;
  }
  auto aside = path_;
  aside += ".bad";
  std::error_code ec;
  std::filesystem::rename(path_, aside, ec);
  log(path_.string() + " is unusable (" + error + "); moved to " + aside.string() +
      (ec ? " failed: " + ec.message() : "") + ", starting empty");
}

bool Store::writeLocked() {
  const auto folder = path_.parent_path();
  std::error_code ec;
  if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      log("cannot create " + folder.string() + ": " + ec.message());
      return false;
    }
    // A folder made here is private; one that was there (the configuration home, /tmp) is not
    // ours to change.
    ::chmod(folder.c_str(), 0700);
  }

  std::string tmpl = (folder / ("." + path_.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) {
    log("cannot create a temporary file beside " + path_.string() + ": " + std::strerror(errno));
    return false;
  }
  const std::string data = serialize(values_);
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), path_.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    ::unlink(tmpl.c_str());
    log("cannot write " + path_.string() + ": " + std::strerror(savedErrno) +
        "; the change stays in memory only");
    return false;
  }
  if (!folder.empty()) fsyncFolder(folder);
  return true;
}

std::optional<Value> Store::get(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool Store::contains(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return values_.find(key) != values_.end();
}

Map Store::snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

std::optional<bool> Store::boolValue(std::string_view key) const {
  auto v = get(key);
  if (!v) return std::nullopt;
  if (auto* b = std::get_if<bool>(&*v)) return *b;
  if (auto* i = std::get_if<std::int64_t>(&*v)) return *i != 0;
  if (auto* d = std::get_if<double>(&*v)) return *d != 0.0;
  if (auto* s = std::get_if<std::string>(&*v)) {
    return equalsIgnoringCase(*s, "YES") || equalsIgnoringCase(*s, "true");
  }
  return false;
}

std::optional<std::string> Store::textValue(std::string_view key) const {
  auto v = get(key);
  if (!v) return std::nullopt;
  if (auto* s = std::get_if<std::string>(&*v)) return *s;
  if (auto* i = std::get_if<std::int64_t>(&*v)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&*v)) return numberText(*d);
  return std::nullopt;
}

std::optional<Bytes> Store::bytesValue(std::string_view key) const {
  auto v = get(key);
  if (!v) return std::nullopt;
  if (auto* b = std::get_if<Bytes>(&*v)) return *b;
  return std::nullopt;
}

bool Store::set(std::string_view key, Value value) {
  std::lock_guard lock(mutex_);
  values_.insert_or_assign(std::string(key), std::move(value));
  return writeLocked();
}

bool Store::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return true;
  values_.erase(it);
  return writeLocked();
}

bool Store::removeDomain() {
  std::lock_guard lock(mutex_);
  values_.clear();
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    log("cannot remove " + path_.string() + ": " + std::strerror(errno));
    return false;
  }
  auto folder = path_.parent_path();
  if (!folder.empty()) fsyncFolder(folder);
  return true;
}

}  // namespace platform::defaults
