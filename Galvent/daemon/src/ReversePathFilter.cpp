#include "ReversePathFilter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// The first line of a small file, or "" (no links followed).
std::string readText(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char buf[16];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0) return "";
  std::string text(buf, static_cast<size_t>(n));
  return text.substr(0, text.find('\n'));
}

bool writeText(const std::filesystem::path& path, const std::string& text, bool create) {
  int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_TRUNC : 0);
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return false;
  std::string line = text + "\n";
  bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

// Only the three values the kernel knows are ever written back.
bool isSetting(const std::string& v) { return v == "0" || v == "1" || v == "2"; }

}  // namespace

ReversePathFilter::ReversePathFilter(std::filesystem::path setting, std::filesystem::path note)
    : setting_(std::move(setting)), note_(std::move(note)) {}

ReversePathFilter::~ReversePathFilter() { restore(); }

std::string ReversePathFilter::loosen() {
  if (!saved_.empty()) return "";
  const std::string noted = readText(note_);
  if (isSetting(noted)) {
    saved_ = noted;
    if (readText(setting_) != "2") writeText(setting_, "2", false);
    return "rp_filter left loosened by an earlier run; " + noted + " is put back at stop";
  }
  std::error_code ec;
  std::filesystem::remove(note_, ec);  // anything else there is no note of ours
  if (readText(setting_) != "1") return "";
  // Noted first: a crash right after the change must not lose the value.
  if (!writeText(note_, "1", true)) return "rp_filter stays strict: cannot note it";
  if (!writeText(setting_, "2", false)) {
    std::filesystem::remove(note_, ec);
    return "rp_filter stays strict: cannot change it";
  }
  saved_ = "1";
  return "rp_filter loosened from 1 to 2 while the tunnel runs";
}

std::string ReversePathFilter::restore() {
  if (saved_.empty()) return "";
  std::string value = std::exchange(saved_, "");
  bool ok = writeText(setting_, value, false);
  std::error_code ec;
  if (ok) std::filesystem::remove(note_, ec);
  return ok ? "rp_filter put back to " + value : "rp_filter could not be put back to " + value;
}

std::string ReversePathFilter::putBackNoted(const std::filesystem::path& setting,
                                            const std::filesystem::path& note) {
  const std::string noted = readText(note);
  if (!isSetting(noted)) return "";
  if (!writeText(setting, noted, false)) return "rp_filter could not be put back to " + noted;
  std::error_code ec;
  std::filesystem::remove(note, ec);
  return "rp_filter put back to " + noted;
}
