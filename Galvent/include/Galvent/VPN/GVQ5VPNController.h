#pragma once
// Tunnel controller of the game service: the start list opens the acceleration, merged with the
// game's rule file from a disk cache (downloaded when missing or changed); the end report closes
// it.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Galvent/Models/GVQ5Session.h"
#include "Galvent/VPN/GVVPNController.h"
#include "Tovra/REST/HttpTransport.h"

namespace GVQ5RuleFile {
// Scrambled rule-file text into its model; nothing (with the reason) for text that does not
// unscramble or is not the model's JSON.
std::optional<PXA_SPEED_START_CACHE_FILE> decode(std::string_view text, TQError* error = nullptr);
// A cache file name must be one plain path component.
bool isPlainFileName(std::string_view name);
// The start information of a run: the answer's groups, in answer order, completed from the rule
// file's groups of the same id; groups without id or unknown to the file are left out (logged).
PXA_SPEED_START_INFO merge(const PXA_SPEED_START_NOCACHE_INFO& answer,
                           const PXA_SPEED_START_CACHE_FILE& file, const std::string& fileName);
}  // namespace GVQ5RuleFile

class GVQ5VPNController : public GVVPNController<GVQ5Session> {
 public:
  using GVVPNController<GVQ5Session>::GVVPNController;

  // PXA_API_START_LIST, the rule file, the merge; the merged start information becomes the
  // session's speedInfo, the value launch options carrying the session.
  Signal<GVLaunchOptions> speedStart(SessionPtr session) override;
  // PXA_API_END with type 1.
  Signal<nlohmann::json> speedStop(SessionPtr session) override;

  // The rule file from <Library>/Rules/<name> when its MD5 matches, else downloaded from the
  // game service. A download is kept only when it matches `md5` and decodes.
  Signal<PXA_SPEED_START_CACHE_FILE> loadRuleFile(const std::string& name, const std::string& md5);

  // Library folder: $XDG_DATA_HOME/<provider id> (or ~/.local/share/<provider id>) unless set;
  // empty when neither variable is set, and then rule files are refused. Created mode 0700.
  void setLibraryFolder(std::filesystem::path folder) { library_ = std::move(folder); }
  std::filesystem::path libraryFolder() const;
  void setTransport(std::shared_ptr<tq::HttpTransport> transport) {
    transport_ = std::move(transport);
  }

 private:
  std::filesystem::path library_;
  std::shared_ptr<tq::HttpTransport> transport_;
};
