#include "gelmora/Service/Tools/DownloadHelper.h"

void DownloadHelper::downloadWithSha1(const std::string&, const std::string&, const std::string&) {
  if (downloadProtocol_) downloadProtocol_->cbDownloadFail(kNotWrittenText);
}
