#include "gelmora/Legacy/Update/UpdateDownload.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "gelmora/Legacy/Update/UpdateArchive.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"

namespace gelmora::update {

namespace {

UpdateFailure downloadFailure(const char* what, const TsDownloadOutcome& outcome) {
  using Kind = TsDownloadOutcome::Kind;
  std::string cause = outcome.kind == Kind::Empty ? "empty answer" : outcome.error.description;
  return UpdateFailure{"download", std::string(what) + ": " + cause};
}

}  // namespace

std::string UpdateDownload::archiveAddress(const std::string& usedHost) {
  const bool schemed = usedHost.find("://") != std::string::npos;
  return (schemed ? usedHost : "http://" + usedHost) + kArchivePath;
}

std::string UpdateDownload::cacheFolder() {
  const char* xdg = ::getenv("XDG_CACHE_HOME");
  std::string base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = ::getenv("HOME");
    if (home && *home == '/') {
      base = home;
    } else if (const passwd* pw = ::getpwuid(::getuid())) {
      base = pw->pw_dir;
    }
    base += "/.cache";
  }
  return base + "/cn.gelmoras.Gelmoras2";
}

UpdateDownload::UpdateDownload(std::string usedHost) : host_(std::move(usedHost)) {
  limits.idle = kIdle;
  limits.deadline = std::chrono::hours(6);  // a slow line may take long; idle ends a stall
  limits.cap = kCap;
}

UpdateDownload::~UpdateDownload() {
  if (!folder_.empty()) removeTree(folder_);
}

std::optional<UpdateFailure> UpdateDownload::run(const TsFileDownload::Progress& progress) {
  if (folder_.empty()) {
    const std::string cache = cacheFolder();
    // Parents as the user's own; the private folder itself is 0700 from mkdtemp.
    std::string partial;
    for (std::size_t i = 1; i <= cache.size(); ++i) {
      if (i == cache.size() || cache[i] == '/') {
        partial = cache.substr(0, i);
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
          return UpdateFailure{"download", partial + ": " + errnoText(errno)};
      }
    }
    std::string pattern = cache + "/update-XXXXXX";
    if (!::mkdtemp(pattern.data()))
      return UpdateFailure{"download", cache + ": " + errnoText(errno)};
    folder_ = pattern;
  }
  const std::string address = archiveAddress(host_);
  auto got = TsFileDownload::download(address, archivePath(), limits, {}, progress);
  if (!got.ok()) return downloadFailure("client.zip", got);
  TsDownloadLimits sigLimits = limits;
  sigLimits.cap = 4096;
  got = TsFileDownload::download(address + ".sig", signaturePath(), sigLimits);
  if (!got.ok()) return downloadFailure("client.zip.sig", got);
  return std::nullopt;
}

}  // namespace gelmora::update
