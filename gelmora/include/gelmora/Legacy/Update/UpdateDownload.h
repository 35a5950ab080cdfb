#pragma once
// Downloads the client archive and its signature from the older service host into a private
// folder (0700) below the user's cache, which goes again with this object whatever happened.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "gelmora/Legacy/Update/UpdateFailure.h"
#include "gelmora/Service/Web/TsFileDownload.h"

namespace gelmora::update {

class UpdateDownload {
 public:
  static constexpr const char* kArchivePath = "/q5client-macos/client.zip";
  static constexpr std::chrono::milliseconds kIdle{16000};
  static constexpr std::size_t kCap = std::size_t{512} << 20;

  // The archive's address on the used host; a host without a scheme gets "http://".
  static std::string archiveAddress(const std::string& usedHost);
  // ${XDG_CACHE_HOME:-~/.cache}/cn.gelmoras.Gelmoras2
  static std::string cacheFolder();

  explicit UpdateDownload(std::string usedHost);
  ~UpdateDownload();
  UpdateDownload(const UpdateDownload&) = delete;
  UpdateDownload& operator=(const UpdateDownload&) = delete;

  // Downloads both files; progress is the archive's (on the calling thread).
  std::optional<UpdateFailure> run(const TsFileDownload::Progress& progress = {});

  const std::string& folder() const { return folder_; }
  std::string archivePath() const { return folder_ + "/client.zip"; }
  std::string signaturePath() const { return folder_ + "/client.zip.sig"; }

  TsDownloadLimits limits;  // the archive's: 16 s idle, 512 MiB

 private:
  std::string host_;
  std::string folder_;
};

}  // namespace gelmora::update
