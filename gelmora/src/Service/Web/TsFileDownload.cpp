#include "gelmora/Service/Web/TsFileDownload.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "OlderCurl.h"

namespace {

TQError fileError(const std::string& what, int err) {
  return TQError{"", err, what + ": " + std::strerror(err), std::nullopt};
}

}  // namespace

bool TsFileDownload::isWebAddress(const std::string& url) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::string head = lower(url.substr(0, 8));
  return (head.rfind("http://", 0) == 0 && url.size() > 7) ||
         (head.rfind("https://", 0) == 0 && url.size() > 8);
}

TsDownloadOutcome TsFileDownload::download(const std::string& url, const std::string& savePath,
                                           const TsDownloadLimits& limits, const Check& accept,
                                           const Progress& progress) {
  using Kind = TsDownloadOutcome::Kind;
  if (!isWebAddress(url)) {
    return {Kind::Refused, TQError{TQAPILocalErrorDomain, TQAPIParamValidateFaildCode,
                                   "not an http or https address: " + url, std::nullopt}};
  }
  // The temporary file sits beside the target so the final rename stays on one file system.
  std::string tmpl = savePath + ".XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0)
    return {Kind::WriteFailed, fileError("cannot create a file beside " + savePath, errno)};
  const std::string tempPath = tmpl;
  auto discard = [&] {
    if (fd >= 0) ::close(fd);
    fd = -1;
    ::unlink(tempPath.c_str());
  };
  int writeErrno = 0;
  older::CurlOptions options;
  options.method = "GET";
  options.total = limits.deadline;
  options.idle = limits.idle;
  options.cap = limits.cap;
  options.cancel = limits.cancel;
  options.progress = progress;
  options.sink = [&](const char* data, std::size_t size) {
    while (size > 0) {
      ssize_t n = ::write(fd, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        writeErrno = errno;
        return false;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  };
  older::CurlOutcome got = older::perform(url, options);
  if (writeErrno != 0) {
    discard();
    return {Kind::WriteFailed, fileError("cannot write " + tempPath, writeErrno)};
  }
  if (got.error) {
    discard();
    return {Kind::Transport, got.error};
  }
  // An error page is not the file: only a successful status counts as a download.
  if (got.status < 200 || got.status > 299) {
    discard();
    return {Kind::Transport, TQError{TQAPITransportErrorDomain, TQAPITransportErrorBadStatus,
                                     "HTTP status " + std::to_string(got.status), std::nullopt}};
  }
  off_t size = ::lseek(fd, 0, SEEK_END);
  if (size == 0) {
    discard();
    return {Kind::Empty, {}};
  }
  if (::fsync(fd) != 0 || ::fchmod(fd, 0644) != 0) {
    int err = errno;
    discard();
    return {Kind::WriteFailed, fileError("cannot write " + tempPath, err)};
  }
  ::close(fd);
  fd = -1;
  if (accept) {
    TQError why;
    if (!accept(tempPath, why)) {
      discard();
      return {Kind::Rejected, why};
    }
  }
  if (::rename(tempPath.c_str(), savePath.c_str()) != 0) {
    int err = errno;
    discard();
    return {Kind::WriteFailed, fileError("cannot replace " + savePath, err)};
  }
  return {Kind::Done, {}};
}
