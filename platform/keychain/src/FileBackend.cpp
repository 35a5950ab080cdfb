#include "platform/keychain/FileBackend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>

#include "Utf8.h"

namespace platform::keychain {

namespace {

constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
constexpr int kMaxDepth = 16;  // the format needs three levels

void logError(const std::string& what) { std::fprintf(stderr, "keychain: %s\n", what.c_str()); }

std::string errnoText(const char* what, const std::filesystem::path& p) {
  return std::string(what) + " " + p.string() + ": " + std::strerror(errno);
}

// Passwords may hold any bytes; JSON text must be UTF-8, so they are stored in base64.
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string toBase64(std::string_view in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kB64[(v >> s) & 63];
  }
  if (size_t rest = in.size() - i) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (rest == 2) v |= uint8_t(in[i + 1]) << 8;
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += rest == 2 ? kB64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int b64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: padded, no whitespace, no bits left over.
bool fromBase64(std::string_view in, std::string& out) {
  out.clear();
  if (in.size() % 4 != 0) return false;
  for (size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = in[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return false;  // data after padding
      v[k] = b64Value(c);
      if (v[k] < 0) return false;
    }
    const uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    if ((pad == 1 && (n & 0xff)) || (pad == 2 && (n & 0xffff))) return false;
    out += char(n >> 16);
    if (pad < 2) out += char((n >> 8) & 0xff);
    if (pad < 1) out += char(n & 0xff);
  }
  return true;
}

// Cheap guard before parsing: bracket nesting outside strings.
bool nestingWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool ensureFolder(const std::filesystem::path& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    logError(dir.string() + " is not a folder");
    return false;
  }
  std::error_code ec;
  if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    logError(errnoText("cannot create", dir));
    return false;
  }
  return true;
}

// The whole session of one operation: the lock is held from reading to replacing.
class LockedFile {
 public:
  explicit LockedFile(const std::filesystem::path& file) : file_(file) {
    if (!ensureFolder(file.parent_path())) return;
    const auto lockPath = file.string() + ".lock";
    lock_ = std::make_unique<Fd>(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock_->ok()) {
      logError(errnoText("cannot open", lockPath));
      return;
    }
    while (::flock(lock_->get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        logError(errnoText("cannot lock", lockPath));
        return;
      }
    }
    locked_ = true;
  }
  // The lock goes with the descriptor.
  bool locked() const { return locked_; }

  // Reads the items; a missing file is empty. Malformed content is moved aside.
  bool load(FileBackend::Items& items) {
    items.clear();
    Fd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.ok()) {
      if (errno == ENOENT) return true;
      logError(errnoText("cannot read", file_));
      return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      logError(file_.string() + " is not a regular file");
      return false;
    }
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) {
      logError(errnoText("cannot tighten the mode of", file_));
    }
    std::string text;
    bool tooLarge = size_t(st.st_size) > kMaxFileSize;
    if (!tooLarge) {
      char buf[65536];
      for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          logError(errnoText("cannot read", file_));
          return false;
        }
        if (n == 0) break;
        text.append(buf, size_t(n));
        if (text.size() > kMaxFileSize) {
          tooLarge = true;
          break;
        }
      }
    }
    std::string error = "larger than 16 MiB";
    if (!tooLarge && FileBackend::parse(text, items, error)) return true;
    moveAside(error);
    items.clear();
    return true;
  }

  bool store(const FileBackend::Items& items) {
    const std::string text = FileBackend::serialize(items);
    std::mt19937_64 rng(std::random_device{}());
    const auto tmp = file_.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(rng() & 0xffffff);
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.ok()) {
      logError(errnoText("cannot create", tmp));
      return false;
    }
    ::fchmod(fd.get(), 0600);  // whatever the umask said
    size_t off = 0;
    while (off < text.size()) {
      ssize_t n = ::write(fd.get(), text.data() + off, text.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        logError(errnoText("cannot write", tmp));
        ::unlink(tmp.c_str());
        return false;
      }
      off += size_t(n);
    }
    if (::fsync(fd.get()) != 0) {
      logError(errnoText("cannot sync", tmp));
      ::unlink(tmp.c_str());
      return false;
    }
    if (::rename(tmp.c_str(), file_.c_str()) != 0) {
      logError(errnoText("cannot replace", file_));
      ::unlink(tmp.c_str());
      return false;
    }
    Fd dir(::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok()) ::fsync(dir.get());
    return true;
  }

 private:
  void moveAside(const std::string& why) {
    const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    auto aside = file_.string() + ".corrupt-" + std::to_string(stamp);
    for (int i = 1; ::access(aside.c_str(), F_OK) == 0; ++i)
      aside = file_.string() + ".corrupt-" + std::to_string(stamp) + "-" + std::to_string(i);
    if (::rename(file_.c_str(), aside.c_str()) != 0) {
      logError(errnoText("cannot move aside", file_));
      return;
    }
    logError("malformed item file " + file_.string() + " (" + why + "), moved to " + aside);
  }

  std::filesystem::path file_;
  std::unique_ptr<Fd> lock_;
  bool locked_ = false;
};

}  // namespace

FileBackend::FileBackend(std::filesystem::path file) : file_(std::move(file)) {}

bool FileBackend::parse(std::string_view text, Items& items, std::string& error) {
  items.clear();
  if (!nestingWithin(text, kMaxDepth)) {
    error = "nested too deeply";
    return false;
  }
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) {
    error = "not JSON";
    return false;
  }
  if (!doc.is_object()) {
    error = "not a JSON object";
    return false;
  }
  auto list = doc.find("items");
  if (list == doc.end() || !list->is_array()) {
    error = "no \"items\" list";
    return false;
  }
  for (const auto& item : *list) {
    if (!item.is_object()) {
      error = "an item is not an object";
      return false;
    }
    const auto s = item.find("service"), a = item.find("account"), p = item.find("password");
    if (s == item.end() || a == item.end() || p == item.end() || !s->is_string() ||
        !a->is_string() || !p->is_string()) {
      error = "an item lacks a text service, account or password";
      return false;
    }
    std::string pw;
    if (!fromBase64(p->get_ref<const std::string&>(), pw)) {
      error = "a password is not base64";
      return false;
    }
    items[{s->get<std::string>(), a->get<std::string>()}] = std::move(pw);
  }
  return true;
}

std::string FileBackend::serialize(const Items& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [key, pw] : items) {
    list.push_back({{"service", key.first}, {"account", key.second}, {"password", toBase64(pw)}});
  }
  nlohmann::json doc = {{"version", 1}, {"items", std::move(list)}};
  // Service and account names come from our own code; replace keeps dump from throwing anyway.
  return doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<std::string> FileBackend::password(std::string_view service,
                                                 std::string_view account) {
  LockedFile f(file_);
  Items items;
  if (!f.locked() || !f.load(items)) return std::nullopt;
  auto it = items.find({std::string(service), std::string(account)});
  if (it == items.end()) return std::nullopt;
  return it->second;
}

bool FileBackend::setPassword(std::string_view password, std::string_view service,
                              std::string_view account) {
  if (!detail::validUtf8(service) || !detail::validUtf8(account)) {
    logError("service and account must be UTF-8 text");
    return false;
  }
  LockedFile f(file_);
  Items items;
  if (!f.locked() || !f.load(items)) return false;
  items[{std::string(service), std::string(account)}] = std::string(password);
  return f.store(items);
}

bool FileBackend::deletePassword(std::string_view service, std::string_view account) {
  LockedFile f(file_);
  Items items;
  if (!f.locked() || !f.load(items)) return false;
  if (items.erase({std::string(service), std::string(account)}) == 0) return false;
  return f.store(items);
}

}  // namespace platform::keychain
