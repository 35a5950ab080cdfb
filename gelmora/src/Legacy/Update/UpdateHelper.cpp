#include "gelmora/Legacy/Update/UpdateHelper.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Legacy/Update/UpdateArchive.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"

namespace gelmora::update {

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool plainAbsolute(const std::string& p) {
  if (p.empty() || p.front() != '/' || p.size() > UpdateHelper::kMaxPath ||
      p.find('\0') != std::string::npos)
    return false;
  const std::string tail = p + "/";
  return tail.find("/../") == std::string::npos && tail.find("/./") == std::string::npos;
}

// Opens `path` one component at a time from "/", following no link anywhere on the way, so a
// caller cannot lead the helper to a file the caller could not name without links.
int openNoLinks(const std::string& path, int finalFlags) {
  int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  std::size_t start = 1;
  for (;;) {
    std::size_t slash = path.find('/', start);
    while (slash == start) slash = path.find('/', ++start);  // repeated slashes
    const bool last = slash == std::string::npos;
    const std::string part = path.substr(start, last ? std::string::npos : slash - start);
    const int flags = last ? finalFlags | O_NOFOLLOW | O_CLOEXEC
                           : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int next = part.empty() ? -1 : ::openat(dir, part.c_str(), flags);
    const int err = part.empty() ? EISDIR : errno;
    ::close(dir);
    if (next < 0) {
      errno = err;
      return -1;
    }
    if (last) return next;
    dir = next;
    start = slash + 1;
    if (start >= path.size()) {  // a trailing slash names a folder
      ::close(dir);
      errno = EISDIR;
      return -1;
    }
  }
}

// As root: the owner and modes the start-up check would give the installed tools.
void fixTools(const std::string& installDir, const std::function<void(const std::string&)>& log) {
  if (::geteuid() != 0) return;
  const auto layout = gelmora::entry::layoutFor(installDir + "/bin/gelmora");
  if (!layout) return;
  for (const auto& c : gelmora::entry::ownerFixCommands(*layout)) {
    std::size_t first = 0;
    bool own = false;
    mode_t mode = 0755;
    if (!c.args.empty() && c.args[0] == "-h") {
      own = true;
      first = 2;
    } else if (!c.args.empty()) {
      mode = static_cast<mode_t>(std::stoul(c.args[0], nullptr, 8));
      first = 1;
    }
    for (std::size_t i = first; i < c.args.size(); ++i) {
      const int r = own ? ::lchown(c.args[i].c_str(), 0, 0) : ::chmod(c.args[i].c_str(), mode);
      if (r != 0 && errno != ENOENT && log)
        log("update: owner fix " + c.args[i] + ": " + errnoText(errno));
    }
  }
}

}  // namespace

std::string UpdateHelper::installationOfHelper(const std::string& helperPath) {
  char resolved[PATH_MAX];
  if (!::realpath(helperPath.c_str(), resolved)) return {};
  const std::string exe(resolved);
  const std::string suffix = std::string("/libexec/gelmora/") + kName;
  if (exe.size() <= suffix.size() ||
      exe.compare(exe.size() - suffix.size(), suffix.size(), suffix) != 0)
    return {};
  const std::string dir = exe.substr(0, exe.size() - suffix.size());
  struct stat st {};
  if (::lstat((dir + "/bin/gelmora").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return dir;
}

std::optional<UpdateFailure> UpdateHelper::copyIn(const std::string& from, const std::string& to,
                                                  std::size_t cap) {
  // Non-blocking, so a FIFO planted by another user cannot hold the helper.
  Fd in(openNoLinks(from, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (in.fd < 0) return UpdateFailure{"copy", from + ": " + errnoText(errno)};
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return UpdateFailure{"copy", from + ": not a regular file"};
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.fd < 0) return UpdateFailure{"copy", to + ": " + errnoText(errno)};
  std::size_t total = 0;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in.fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return UpdateFailure{"copy", from + ": " + errnoText(errno)};
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
    if (total > cap)
      return UpdateFailure{"copy", from + ": larger than " + std::to_string(cap) + " bytes"};
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.fd, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return UpdateFailure{"copy", to + ": " + errnoText(errno)};
      done += w;
    }
  }
  return std::nullopt;
}

int UpdateHelper::run(const std::vector<std::string>& args, const std::string& helperPath,
                      std::string& out, UpdateInstaller::Seams seams) {
  if (args.size() != 2 || !plainAbsolute(args[0]) || !plainAbsolute(args[1])) {
    out = "failed: arguments: expected the absolute paths of the archive and its signature\n";
    return 2;
  }
  const std::string installDir = installationOfHelper(helperPath);
  if (installDir.empty()) {
    out = "failed: installed folder: the helper is not inside an installation\n";
    return 1;
  }
  ::umask(077);
  std::string pattern = "/tmp/gelmora-update-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    out = "failed: copy: " + errnoText(errno) + "\n";
    return 1;
  }
  const std::string own = pattern;
  auto fail = [&](const UpdateFailure& f) {
    removeTree(own);
    out = "failed: " + f.text() + "\n";
    return 1;
  };
  const std::string archive = own + "/client.zip", signature = own + "/client.zip.sig";
  if (auto f = copyIn(args[0], archive, UpdateSignature::kMaxArchive)) return fail(*f);
  if (auto f = copyIn(args[1], signature, 4096)) return fail(*f);
  if (auto f = UpdateSignature::verifyFiles(archive, signature)) return fail(*f);
  if (!seams.afterSwap) {
    auto log = seams.log;
    seams.afterSwap = [log](const std::string& dir) { fixTools(dir, log); };
  }
  UpdateInstaller installer(installDir, seams);
  if (auto f = installer.install(archive)) return fail(*f);
  removeTree(own);
  out = "updated " + installDir + "\n";
  return 0;
}

}  // namespace gelmora::update
