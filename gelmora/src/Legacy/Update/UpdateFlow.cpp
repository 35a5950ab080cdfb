#include "gelmora/Legacy/Update/UpdateFlow.h"

#include <cmath>
#include <cstdio>

#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateInstaller.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "gelmora/Service/Tools/Utils.h"

namespace gelmora::update {

std::string updateProgressText(double value, double maximum) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "开始下载...(%.0f/%.0f)", value, maximum);
  return buf;
}

UpdateFlow::UpdateFlow(std::string usedHost, std::string installDir, std::string helperPath,
                       Steps steps)
    : host_(std::move(usedHost)),
      installDir_(std::move(installDir)),
      helper_(std::move(helperPath)),
      steps_(std::move(steps)) {
  if (!steps_.status) steps_.status = [](const std::string&) {};
  if (!steps_.progress) steps_.progress = [](double, double) {};
  if (!steps_.needsRights) steps_.needsRights = UpdateInstaller::needsRights;
  if (!steps_.rights) steps_.rights = Utils::rootExecHandler;
  if (!steps_.alert) steps_.alert = [](const std::string&) {};
  if (!steps_.unloadKEXT) steps_.unloadKEXT = Utils::unloadKEXT;
  if (!steps_.log) steps_.log = [](const std::string&) {};
  if (!steps_.runHelper) {
    steps_.runHelper = [](STPrivilegedTask& task, const std::string& helper,
                          const std::string& archive, const std::string& signature) {
      task.setLaunchPath(helper);
      task.setArguments({archive, signature});
      const int32_t err = task.launch();
      task.waitUntilExit();
      return Result{err != 0 ? static_cast<int>(err) : task.terminationStatus(), task.output()};
    };
  }
}

UpdateFlow::~UpdateFlow() = default;

UpdateOutcome UpdateFlow::run() {
  if (auto failed = download()) return *failed;
  if (auto refused = obtainRights()) return *refused;
  return install();
}

std::optional<UpdateOutcome> UpdateFlow::download() {
  using Kind = UpdateOutcome::Kind;
  const std::string address = UpdateDownload::archiveAddress(host_);
  steps_.log("DDK 1");
  steps_.log("DDK " + address);
  download_ = std::make_unique<UpdateDownload>(host_);
  download_->limits.cancel = steps_.cancel;
  steps_.status(updateProgressText(0, 0));
  auto failed = download_->run([this](std::uint64_t got, std::int64_t expected) {
    const double value = std::floor(static_cast<double>(got) / 1024.0);
    const double maximum = expected < 0 ? -1.0 : std::floor(static_cast<double>(expected) / 1024.0);
    steps_.progress(value, maximum);
    if (maximum >= 0 && value == maximum) {
      steps_.log("DDK 62");
      steps_.status(kUpdateDownloadedAskRightsText);
    } else {
      steps_.log("DDK 61");
      steps_.status(updateProgressText(value, maximum));
    }
  });
  if (failed) {
    steps_.log("DDK 4 " + failed->text());
    download_.reset();
    return UpdateOutcome{Kind::Failed, *failed};
  }
  steps_.log("DDK 7");
  steps_.status(kUpdateDownloadedText);
  // Proven genuine before anything is touched or any rights are asked for.
  if (auto f = UpdateSignature::verifyFiles(download_->archivePath(), download_->signaturePath())) {
    download_.reset();
    return UpdateOutcome{Kind::Failed, *f};
  }
  if (installDir_.empty()) {
    download_.reset();
    return UpdateOutcome{Kind::Failed,
                         UpdateFailure{"installed folder", "the program is not installed"}};
  }
  return std::nullopt;
}

std::optional<UpdateOutcome> UpdateFlow::obtainRights() {
  task_.reset();
  if (!steps_.needsRights(installDir_)) return std::nullopt;
  for (int attempt = 1; attempt <= kUpdateRightsAttempts && !task_; ++attempt) {
    task_ = steps_.rights();
    if (!task_ && attempt < kUpdateRightsAttempts) steps_.alert(kUpdateRightsRetryText);
  }
  if (task_) return std::nullopt;
  steps_.alert(kUpdateRightsFailedText);
  download_.reset();
  return UpdateOutcome{UpdateOutcome::Kind::RightsRefused, {}};
}

UpdateOutcome UpdateFlow::install() {
  using Kind = UpdateOutcome::Kind;
  if (!download_)
    return {Kind::Failed, UpdateFailure{"installation", "no checked download to install"}};
  // The downloaded files go whatever happens below.
  const std::unique_ptr<UpdateDownload> files = std::move(download_);
  steps_.unloadKEXT();
  if (task_) {
    const Result r =
        steps_.runHelper(*task_, helper_, files->archivePath(), files->signaturePath());
    steps_.log("DDK 8 helper " + std::to_string(r.status) + " " + r.output);
    if (r.status != 0) {
      std::string cause = r.output;
      while (!cause.empty() && cause.back() == '\n') cause.pop_back();
      if (cause.rfind("failed: ", 0) == 0) cause.erase(0, 8);
      if (cause.empty()) cause = "exit status " + std::to_string(r.status);
      return {Kind::Failed, UpdateFailure{"installation", cause}};
    }
  } else {
    UpdateInstaller::Seams seams;
    seams.log = steps_.log;
    if (auto f = UpdateInstaller(installDir_, seams).install(files->archivePath()))
      return {Kind::Failed, *f};
  }
  steps_.log("DDK 8");
  return {Kind::Installed, {}};
}

}  // namespace gelmora::update
