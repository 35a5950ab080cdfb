#pragma once
// The privileged half of the self-update (the program gelmora-update-helper, run as root through
// the privileged task): takes the archive and signature paths only, copies both into a folder
// only root can reach, checks the signature again and replaces its own installation, the one
// holding it as libexec/gelmora/<name>.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gelmora/Legacy/Update/UpdateFailure.h"
#include "gelmora/Legacy/Update/UpdateInstaller.h"

namespace gelmora::update {

class UpdateHelper {
 public:
  static constexpr const char* kName = "gelmora-update-helper";
  static constexpr std::size_t kMaxPath = 4096;

  // The installation of a helper at `helperPath` (resolved): the folder above
  // libexec/gelmora/ when it holds bin/gelmora; empty otherwise.
  static std::string installationOfHelper(const std::string& helperPath);

  // Copies a regular file (opened without following links, at most `cap` bytes) to `to`.
  static std::optional<UpdateFailure> copyIn(const std::string& from, const std::string& to,
                                             std::size_t cap);

  // The whole run: answers the exit status (0 done, 1 refused or failed, 2 bad arguments) and
  // writes one result line to `out` ("updated <folder>" or "failed: <step>: <cause>").
  static int run(const std::vector<std::string>& args, const std::string& helperPath,
                 std::string& out, UpdateInstaller::Seams seams = {});
};

}  // namespace gelmora::update
