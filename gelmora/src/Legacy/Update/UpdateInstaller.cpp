#include "gelmora/Legacy/Update/UpdateInstaller.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace gelmora::update {

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

using Visit =
    std::function<std::optional<UpdateFailure>(const std::string& rel, const struct stat&)>;

// Walks the tree below `dirFd` without following links; stops at the first failure.
std::optional<UpdateFailure> walk(int dirFd, const std::string& prefix, const char* step,
                                  const Visit& visit, int depth = 0) {
  if (depth > 64) return UpdateFailure{step, "\"" + prefix + "\": folders nested too deep"};
  const int dup = ::dup(dirFd);
  if (dup < 0) return UpdateFailure{step, errnoText(errno)};
  DIR* dir = ::fdopendir(dup);
  if (!dir) {
    const int err = errno;
    ::close(dup);
    return UpdateFailure{step, "\"" + prefix + "\": " + errnoText(err)};
  }
  std::vector<std::string> names;
  while (dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : names) {
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return UpdateFailure{step, "\"" + rel + "\": " + errnoText(errno)};
    if (auto f = visit(rel, st)) return f;
    if (S_ISDIR(st.st_mode)) {
      Fd sub(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.fd < 0) return UpdateFailure{step, "\"" + rel + "\": " + errnoText(errno)};
      if (auto f = walk(sub.fd, rel, step, visit, depth + 1)) return f;
    }
  }
  return std::nullopt;
}

bool validRelative(const std::string& p) {
  if (p.empty() || p.front() == '/' || p.back() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = p.find('/', start);
    const std::string part =
        p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::optional<UpdateFailure> InstallManifest::parse(std::string_view text, InstallManifest& out) {
  out.paths.clear();
  if (text.size() > kMaxBytes) return UpdateFailure{"manifest", "too large"};
  std::size_t start = 0, line = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++line;
    std::string entry(text.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    if (entry.find('\0') != std::string::npos || !validRelative(entry))
      return UpdateFailure{"manifest", "line " + std::to_string(line) + ": not a relative path"};
    if (!out.paths.insert(entry).second)
      return UpdateFailure{"manifest", "line " + std::to_string(line) + ": listed twice"};
  }
  if (out.paths.empty()) return UpdateFailure{"manifest", "empty"};
  return std::nullopt;
}

std::optional<UpdateFailure> InstallManifest::read(int dirFd, InstallManifest& out) {
  const std::string path(kPath);
  Fd fd(::openat(dirFd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.fd < 0) return UpdateFailure{"manifest", path + ": " + errnoText(errno)};
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return UpdateFailure{"manifest", path + ": not a regular file"};
  if (static_cast<std::uint64_t>(st.st_size) > kMaxBytes)
    return UpdateFailure{"manifest", "too large"};
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return UpdateFailure{"manifest", path + ": " + errnoText(errno)};
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxBytes) return UpdateFailure{"manifest", "too large"};
  }
  return parse(text, out);
}

bool InstallManifest::coversFolder(const std::string& dir) const {
  const std::string prefix = dir + "/";
  if (kPath.substr(0, prefix.size()) == prefix) return true;
  auto it = paths.lower_bound(prefix);
  return it != paths.end() && it->compare(0, prefix.size(), prefix) == 0;
}

const char* UpdateInstaller::stepName(Step step) {
  switch (step) {
    case Step::Extract:
      return "extraction";
    case Step::Check:
      return "check";
    case Step::Exchange:
      return "exchange";
    case Step::AfterExchange:
      return "check after exchange";
    case Step::RemoveOld:
      return "removal of the old version";
  }
  return "?";
}

UpdateInstaller::UpdateInstaller(std::string installDir, Seams seams)
    : installDir_(std::move(installDir)), seams_(std::move(seams)) {}

std::optional<UpdateFailure> UpdateInstaller::seam(Step step) const {
  if (seams_.failBefore) return seams_.failBefore(step);
  return std::nullopt;
}

void UpdateInstaller::log(const std::string& line) const {
  if (seams_.log) seams_.log(line);
}

std::string UpdateInstaller::installationOf(const std::string& exePath) {
  char resolved[PATH_MAX];
  if (!::realpath(exePath.c_str(), resolved)) return {};
  const std::string exe(resolved);
  const std::string suffix = "/bin/gelmora";
  if (exe.size() <= suffix.size() ||
      exe.compare(exe.size() - suffix.size(), suffix.size(), suffix) != 0)
    return {};
  std::string dir = exe.substr(0, exe.size() - suffix.size());
  return dir.empty() ? std::string() : dir;
}

bool UpdateInstaller::needsRights(const std::string& installDir) {
  const uid_t uid = ::geteuid();
  auto mine = [uid](const std::string& path, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    if (st.st_uid != uid) return false;
    return S_ISLNK(st.st_mode) || ::access(path.c_str(), W_OK) == 0;
  };
  if (!mine(parentOf(installDir), true) || !mine(installDir, false)) return true;
  Fd fd(::open(installDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.fd < 0) return true;
  bool need = false;
  walk(fd.fd, "", "rights",
       [&](const std::string& rel, const struct stat& st) -> std::optional<UpdateFailure> {
         if (st.st_uid != uid || (!S_ISLNK(st.st_mode) && !mine(installDir + "/" + rel, false))) {
           need = true;
           return UpdateFailure{};
         }
         return std::nullopt;
       });
  return need;
}

std::optional<UpdateFailure> UpdateInstaller::checkInstalled(const std::string& installDir) {
  const char* step = "installed folder";
  Fd fd(::open(installDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.fd < 0) return UpdateFailure{step, installDir + ": " + errnoText(errno)};
  InstallManifest manifest;
  if (auto f = InstallManifest::read(fd.fd, manifest)) return UpdateFailure{step, f->text()};
  return walk(fd.fd, "", step,
              [&](const std::string& rel, const struct stat& st) -> std::optional<UpdateFailure> {
                if (S_ISDIR(st.st_mode)
                        ? manifest.coversFolder(rel)
                        : (manifest.paths.count(rel) || rel == InstallManifest::kPath))
                  return std::nullopt;
                return UpdateFailure{step, "\"" + rel + "\" is not part of the installation"};
              });
}

std::optional<UpdateFailure> UpdateInstaller::checkTree(const std::string& dir, const char* step) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.fd < 0) return UpdateFailure{step, dir + ": " + errnoText(errno)};
  struct stat exe {};
  if (::fstatat(fd.fd, "bin/gelmora", &exe, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(exe.st_mode) ||
      !(exe.st_mode & S_IXUSR))
    return UpdateFailure{step, "no executable \"bin/gelmora\""};
  InstallManifest manifest;
  if (auto f = InstallManifest::read(fd.fd, manifest)) return UpdateFailure{step, f->text()};
  std::set<std::string> found;
  auto f = walk(fd.fd, "", step,
                [&](const std::string& rel, const struct stat& st) -> std::optional<UpdateFailure> {
                  if (S_ISDIR(st.st_mode)) {
                    if (manifest.coversFolder(rel)) return std::nullopt;
                  } else if (rel == InstallManifest::kPath) {
                    return std::nullopt;
                  } else if (manifest.paths.count(rel)) {
                    found.insert(rel);
                    return std::nullopt;
                  }
                  return UpdateFailure{step, "\"" + rel + "\" is not in the manifest"};
                });
  if (f) return f;
  for (const auto& p : manifest.paths)
    if (!found.count(p)) return UpdateFailure{step, "\"" + p + "\" is in the manifest but missing"};
  return std::nullopt;
}

std::optional<UpdateFailure> UpdateInstaller::install(const std::string& archivePath,
                                                      const ArchiveLimits& limits) {
  if (installDir_.empty() || installDir_.front() != '/' || installDir_ == "/")
    return UpdateFailure{"installed folder", "\"" + installDir_ + "\" is not an installation"};
  if (auto f = checkInstalled(installDir_)) return f;
  struct stat installed {};
  if (::lstat(installDir_.c_str(), &installed) != 0 || !S_ISDIR(installed.st_mode))
    return UpdateFailure{"installed folder", installDir_ + ": not a folder"};

  // Staging sits beside the installation: same file system, so the exchange is one rename.
  const std::string root = parentOf(installDir_);
  std::string pattern = (root == "/" ? std::string() : root) + "/.gelmora-update-XXXXXX";
  if (!::mkdtemp(pattern.data())) return UpdateFailure{"staging", root + ": " + errnoText(errno)};
  const std::string staging = pattern;
  log("update: staging " + staging);
  auto dropStaging = [&](UpdateFailure f) {
    if (const int err = removeTree(staging))
      log("update: staging " + staging + " left behind: " + errnoText(err));
    return f;
  };

  if (auto f = seam(Step::Extract)) return dropStaging(*f);
  if (auto f = UpdateArchive::extract(archivePath, staging, limits)) return dropStaging(*f);
  if (auto f = seam(Step::Check)) return dropStaging(*f);
  if (auto f = checkTree(staging, "check")) return dropStaging(*f);
  // The exchanged folder keeps its own inode: give it the installation's mode and owner first.
  if (::chmod(staging.c_str(), installed.st_mode & 0755) != 0)
    return dropStaging(UpdateFailure{"check", errnoText(errno)});
  if (::geteuid() == 0 && ::lchown(staging.c_str(), installed.st_uid, installed.st_gid) != 0)
    return dropStaging(UpdateFailure{"check", errnoText(errno)});

  if (auto f = seam(Step::Exchange)) return dropStaging(*f);
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, installDir_.c_str(), RENAME_EXCHANGE) != 0)
    return dropStaging(UpdateFailure{"exchange", errnoText(errno)});
  auto syncRoot = [&] {
    Fd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.fd < 0 || ::fsync(rootFd.fd) != 0)
      log("update: fsync " + root + ": " + errnoText(errno));
  };
  syncRoot();

  std::optional<UpdateFailure> after = seam(Step::AfterExchange);
  if (!after) after = checkTree(installDir_, stepName(Step::AfterExchange));
  if (after) {
    // Put the old tree back; staging then holds the new one again and goes.
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, installDir_.c_str(), RENAME_EXCHANGE) !=
        0) {
      log("update: exchanging back failed: " + errnoText(errno) + "; old version at " + staging);
      return UpdateFailure{after->step, after->cause + "; the old version is at " + staging};
    }
    syncRoot();
    return dropStaging(*after);
  }
  if (seams_.afterSwap) seams_.afterSwap(installDir_);

  // Staging now holds the old tree.
  int err = 0;
  if (auto f = seam(Step::RemoveOld)) {
    log("update: " + f->text());
    err = -1;
  } else {
    err = removeTree(staging);
  }
  if (err) log("update: old version left at " + staging + (err > 0 ? ": " + errnoText(err) : ""));
  log("update: installed into " + installDir_);
  return std::nullopt;
}

}  // namespace gelmora::update
