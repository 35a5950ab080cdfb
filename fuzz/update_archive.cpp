// Update archive bytes: every header is checked before anything is written; what is written
// stays below the staging folder, and a folder beside it is never touched. The bytes also go
// through the manifest reader.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gelmora/Legacy/Update/UpdateArchive.h"
#include "gelmora/Legacy/Update/UpdateInstaller.h"

namespace {

struct Dirs {
  std::string root, staging, canary;
  Dirs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "update-fuzz-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    staging = root + "/staging";
    canary = root + "/canary";
    ::mkdir(staging.c_str(), 0700);
    ::mkdir(canary.c_str(), 0700);
  }
  ~Dirs() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

std::size_t count(const std::string& dir) {
  std::size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir);
       it != std::filesystem::recursive_directory_iterator(); ++it)
    ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Dirs dirs;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  gelmora::update::InstallManifest manifest;
  gelmora::update::InstallManifest::parse(bytes, manifest);

  gelmora::update::ArchiveLimits limits;
  limits.maxEntries = 1000;
  limits.maxBytes = 8u << 20;
  const auto failed = gelmora::update::UpdateArchive::extractBytes(bytes, dirs.staging, limits);
  if (failed && count(dirs.staging) != 0) std::abort();  // a refusal leaves nothing behind
  if (count(dirs.canary) != 0 || count(dirs.root) < 2) std::abort();
  const int fd = ::open(dirs.staging.c_str(), O_RDONLY | O_DIRECTORY);
  gelmora::update::removeTreeContents(fd);
  ::close(fd);
  return 0;
}
