#pragma once
// Replaces an installation with the tree of a checked update archive, atomically or not at all:
// extract into a private staging folder beside the installation, check it, exchange the two
// folders in one rename, then remove the old tree. Each step is a seam where tests inject a
// failure.
#include <sys/types.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "gelmora/Legacy/Update/UpdateArchive.h"
#include "gelmora/Legacy/Update/UpdateFailure.h"

namespace gelmora::update {

// The list of every installed path (files and links, relative, one a line) that an installation
// carries in share/gelmora/install_manifest.txt.
struct InstallManifest {
  static constexpr std::string_view kPath = "share/gelmora/install_manifest.txt";
  static constexpr std::size_t kMaxBytes = 16u << 20;
  std::set<std::string> paths;

  static std::optional<UpdateFailure> parse(std::string_view text, InstallManifest& out);
  static std::optional<UpdateFailure> read(int dirFd, InstallManifest& out);
  // True when `dir` (relative, no trailing slash) is a folder above some listed path.
  bool coversFolder(const std::string& dir) const;
};

class UpdateInstaller {
 public:
  enum class Step { Extract, Check, Exchange, AfterExchange, RemoveOld };
  static const char* stepName(Step step);

  struct Seams {
    // Answers a failure to inject before the step runs; none lets it run.
    std::function<std::optional<UpdateFailure>(Step)> failBefore;
    std::function<void(const std::string&)> log;
    // Runs once the new tree is in place (owner and modes of the privileged tools).
    std::function<void(const std::string& installDir)> afterSwap;
  };

  explicit UpdateInstaller(std::string installDir, Seams seams = {});

  // The installation a program runs from: the folder holding bin/gelmora of `exePath`
  // (resolved); empty when the program does not sit in such a layout.
  static std::string installationOf(const std::string& exePath);

  // True when the current user cannot do the swap alone: the parent folder, the installation or
  // an entry of it not the user's or not writable by the user.
  static bool needsRights(const std::string& installDir);

  // Checks the installed folder, extracts `archivePath`, checks, swaps. None on success.
  std::optional<UpdateFailure> install(const std::string& archivePath,
                                       const ArchiveLimits& limits = {});

  // Every entry of the installed folder must be listed in its manifest (or be a folder above
  // a listed entry): a shared prefix such as /usr is never swapped.
  static std::optional<UpdateFailure> checkInstalled(const std::string& installDir);
  // The new tree: an executable bin/gelmora and a manifest naming exactly its entries.
  static std::optional<UpdateFailure> checkTree(const std::string& dir, const char* step);

 private:
  std::optional<UpdateFailure> seam(Step step) const;
  void log(const std::string& line) const;

  std::string installDir_;
  Seams seams_;
};

}  // namespace gelmora::update
