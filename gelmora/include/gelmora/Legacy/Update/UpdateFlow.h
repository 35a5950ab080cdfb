#pragma once
// The whole self-update as the update window drives it, free of Qt: download with progress,
// signature check (nothing touched, no rights asked), rights only when needed (three attempts),
// filter stopped, installation replaced by the helper (with rights) or in-process (without).
// Runs on the calling thread; every step reaches the window through the callbacks. run() is the
// three phases in order; the window runs the download off its thread and the rest on it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gelmora/Legacy/Update/UpdateFailure.h"

class STPrivilegedTask;

namespace gelmora::update {

inline constexpr const char* kUpdateDownloadedAskRightsText =
    "下载完成\n正在获取更新权限，请输入当前账号密码";
inline constexpr const char* kUpdateDownloadedText = "下载完成";
inline constexpr const char* kUpdateRightsRetryText = "获取权限失败!\n请打开后重新输入正确密码";
inline constexpr const char* kUpdateRightsFailedText = "获取权限失败!\n程序即将退出";
inline constexpr const char* kUpdateSucceededText = "更新成功，请手动打开程序";
inline constexpr const char* kUpdateFailedText = "更新失败";
inline constexpr const char* kUpdateFailedInformative = "更新新版本失败\n失败原因：";
inline constexpr int kUpdateRightsAttempts = 3;

struct UpdateOutcome {
  enum class Kind { Installed, Failed, RightsRefused };
  Kind kind = Kind::Installed;
  UpdateFailure failure;  // for Failed
};

// "开始下载...(%.0f/%.0f)" with the value and the maximum.
std::string updateProgressText(double value, double maximum);

class UpdateDownload;

class UpdateFlow {
 public:
  struct Result {
    int status = -1;
    std::string output;
  };
  struct Steps {
    std::function<void(const std::string& text)> status;
    // KiB received and expected (-1 when unknown), after each block.
    std::function<void(double value, double maximum)> progress;
    std::function<bool(const std::string& installDir)> needsRights;  // UpdateInstaller's
    std::function<std::shared_ptr<STPrivilegedTask>()> rights;       // Utils::rootExecHandler
    std::function<void(const std::string& informative)> alert;       // modal "错误" alert
    std::function<void()> unloadKEXT;                                // Utils::unloadKEXT
    // Runs the helper with the task; by default through STPrivilegedTask.
    std::function<Result(STPrivilegedTask&, const std::string& helper, const std::string& archive,
                         const std::string& signature)>
        runHelper;
    std::function<void(const std::string&)> log;
    // Set from any thread to end the download early (it then fails as "cancelled").
    const std::atomic<bool>* cancel = nullptr;
  };

  UpdateFlow(std::string usedHost, std::string installDir, std::string helperPath, Steps steps);
  ~UpdateFlow();
  UpdateFlow(const UpdateFlow&) = delete;
  UpdateFlow& operator=(const UpdateFlow&) = delete;

  UpdateOutcome run();

  // Phase 1: download archive and signature, prove them genuine (nothing touched, no rights
  // asked). Answers the failure, or none to go on.
  std::optional<UpdateOutcome> download();
  // Phase 2, after a good download: rights when the installation needs them (three attempts,
  // the alerts in between). Answers RightsRefused, or none to go on.
  std::optional<UpdateOutcome> obtainRights();
  // Phase 3: filter stopped, installation replaced by the helper (with rights) or in-process.
  // The downloaded files go with the flow object.
  UpdateOutcome install();

 private:
  std::string host_, installDir_, helper_;
  Steps steps_;
  std::unique_ptr<UpdateDownload> download_;
  std::shared_ptr<STPrivilegedTask> task_;
};

}  // namespace gelmora::update
