#pragma once
// The whole self-update as the update window drives it, free of Qt: download with progress,
// signature check (nothing touched, no rights asked), rights only when needed (three attempts),
// filter stopped, installation replaced by the helper (with rights) or in-process (without).
// Runs on the calling thread; every step reaches the window through the callbacks.
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
  };

  UpdateFlow(std::string usedHost, std::string installDir, std::string helperPath, Steps steps);
  UpdateOutcome run();

 private:
  std::string host_, installDir_, helper_;
  Steps steps_;
};

}  // namespace gelmora::update
