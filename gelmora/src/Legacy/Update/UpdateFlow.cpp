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

UpdateOutcome UpdateFlow::run() {
  using Kind = UpdateOutcome::Kind;
  const std::string address = UpdateDownload::archiveAddress(host_);
  steps_.log("DDK 1");
  steps_.log("DDK " + address);
  UpdateDownload download(host_);
  steps_.status(updateProgressText(0, 0));
  auto failed = download.run([this](std::uint64_t got, std::int64_t expected) {
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
    return {Kind::Failed, *failed};
  }
  steps_.log("DDK 7");
  steps_.status(kUpdateDownloadedText);
  // Proven genuine before anything is touched or any rights are asked for.
  if (auto f = UpdateSignature::verifyFiles(download.archivePath(), download.signaturePath()))
    return {Kind::Failed, *f};
  if (installDir_.empty())
    return {Kind::Failed, UpdateFailure{"installed folder", "the program is not installed"}};

  std::shared_ptr<STPrivilegedTask> task;
  if (steps_.needsRights(installDir_)) {
    for (int attempt = 1; attempt <= kUpdateRightsAttempts && !task; ++attempt) {
      task = steps_.rights();
      if (!task && attempt < kUpdateRightsAttempts) steps_.alert(kUpdateRightsRetryText);
    }
    if (!task) {
      steps_.alert(kUpdateRightsFailedText);
      return {Kind::RightsRefused, {}};
    }
  }
  steps_.unloadKEXT();

  if (task) {
    const Result r =
        steps_.runHelper(*task, helper_, download.archivePath(), download.signaturePath());
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
    if (auto f = UpdateInstaller(installDir_, seams).install(download.archivePath()))
      return {Kind::Failed, *f};
  }
  steps_.log("DDK 8");
  return {Kind::Installed, {}};
}

}  // namespace gelmora::update
