#pragma once
// The update archive: a zip holding one top folder "gelmora/". Every header is read and checked
// before anything is written; one bad entry refuses the whole archive. Extraction strips the top
// folder, masks modes and never restores owners.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gelmora/Legacy/Update/UpdateFailure.h"

namespace gelmora::update {

struct ArchiveLimits {
  std::uint64_t maxEntries = 100000;
  std::uint64_t maxBytes = std::uint64_t{1} << 30;  // unpacked
};

struct ArchiveEntry {
  enum class Type { File, Directory, Symlink };
  std::string path;  // below the top folder, no trailing slash; empty for the top folder itself
  Type type = Type::File;
  mode_t mode = 0;  // already masked
  std::uint64_t size = 0;
  std::string linkTarget;
};

class UpdateArchive {
 public:
  static constexpr std::string_view kTop = "gelmora";

  // Permission bits kept: no setuid, setgid, sticky, group or other write.
  static mode_t maskMode(mode_t mode) { return mode & 0755; }

  // Reads every header of the archive at `path` (or in `bytes`) and checks it.
  static std::optional<UpdateFailure> inspect(const std::string& path,
                                              std::vector<ArchiveEntry>& entries,
                                              const ArchiveLimits& limits = {});
  static std::optional<UpdateFailure> inspectBytes(std::string_view bytes,
                                                   std::vector<ArchiveEntry>& entries,
                                                   const ArchiveLimits& limits = {});

  // Checks, then writes the tree below the top folder into `staging` (an existing empty
  // folder). On failure whatever was written below `staging` is removed again.
  static std::optional<UpdateFailure> extract(const std::string& path, const std::string& staging,
                                              const ArchiveLimits& limits = {});
  static std::optional<UpdateFailure> extractBytes(std::string_view bytes,
                                                   const std::string& staging,
                                                   const ArchiveLimits& limits = {});
};

// Removes everything below the folder open as `dirFd` without following links; answers the
// first errno met (0 when all went).
int removeTreeContents(int dirFd);
// Removes `path` (a folder or any other entry) the same way.
int removeTree(const std::string& path);

}  // namespace gelmora::update
