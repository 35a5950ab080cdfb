// The receipt's place and the list of paid transactions not yet confirmed by the service.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/storekit/StoreKit.h"

namespace storekit {
namespace fs = std::filesystem;
using nlohmann::json;

fs::path receiptPath() {
  fs::path base;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home ? home : "") / ".local/share";
  }
  return base / "cn.gelmoras.Gelmoras2" / "receipt";
}

bool writePrivateFile(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  fs::path dir = path.parent_path();
  if (!dir.empty() && !fs::exists(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) return false;
    ::chmod(dir.c_str(), 0700);
  }
  fs::path tmp = path;
  tmp += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  ::fchmod(fd, 0600);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == bytes.size() && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::optional<std::vector<PendingEntry>> parsePendingFile(std::string_view text, std::string* why) {
  json doc = json::parse(text.begin(), text.end(), nullptr, false);
  auto bad = [&](const char* reason) -> std::optional<std::vector<PendingEntry>> {
    if (why) *why = reason;
    return std::nullopt;
  };
  if (doc.is_discarded() || !doc.is_object()) return bad("not a JSON object");
  auto list = doc.find("transactions");
  if (list == doc.end() || !list->is_array()) return bad("\"transactions\" is not a list");
  std::vector<PendingEntry> out;
  for (const json& item : *list) {
    if (!item.is_object()) return bad("an entry is not an object");
    auto id = item.find("id");
    auto product = item.find("product");
    if (id == item.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
        product == item.end() || !product->is_string())
      return bad("an entry lacks its id or product");
    out.push_back({id->get<std::string>(), product->get<std::string>()});
  }
  return out;
}

PendingTransactions::PendingTransactions()
    : PendingTransactions(receiptPath().parent_path() / "store-pending.json") {}

PendingTransactions::PendingTransactions(fs::path file) : file_(std::move(file)) {}

std::vector<PendingEntry> PendingTransactions::load() const {
  std::error_code ec;
  if (!fs::exists(file_, ec)) return {};
  std::ifstream in(file_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string why;
  auto entries = in ? parsePendingFile(text.str(), &why) : std::nullopt;
  if (entries) return *entries;
  if (why.empty()) why = "unreadable";
  auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  fs::path aside = file_;
  aside += ".corrupt-" + std::to_string(stamp);
  fs::rename(file_, aside, ec);
  std::fprintf(stderr, "storekit: %s %s, moved aside to %s\n", file_.c_str(), why.c_str(),
               aside.c_str());
  return {};
}

bool PendingTransactions::save(const std::vector<PendingEntry>& entries) const {
  json list = json::array();
  for (const auto& e : entries)
    list.push_back({{"id", e.transactionIdentifier}, {"product", e.productIdentifier}});
  return writePrivateFile(file_, json{{"transactions", list}}.dump());
}

std::vector<PendingEntry> PendingTransactions::list() const {
  std::lock_guard lock(mu_);
  return load();
}

bool PendingTransactions::add(const PendingEntry& entry) {
  std::lock_guard lock(mu_);
  auto entries = load();
  for (const auto& e : entries)
    if (e.transactionIdentifier == entry.transactionIdentifier) return true;
  entries.push_back(entry);
  return save(entries);
}

bool PendingTransactions::finish(const std::string& transactionIdentifier) {
  std::lock_guard lock(mu_);
  auto entries = load();
  std::erase_if(entries, [&](const PendingEntry& e) {
    return e.transactionIdentifier == transactionIdentifier;
  });
  return save(entries);
}

bool PendingTransactions::finishAll() {
  std::lock_guard lock(mu_);
  std::error_code ec;
  if (!fs::exists(file_, ec)) return true;
  return save({});
}

}  // namespace storekit
