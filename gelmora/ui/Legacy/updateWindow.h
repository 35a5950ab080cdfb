#pragma once
// The self-update window of the older generation. As soon as it is made it downloads the newest
// client from the older service host (off the main thread, progress in KiB), proves it genuine,
// asks for administrator rights only when the installation needs them, and replaces the
// installation through the self-update core (gelmora/Legacy/Update) atomically or not at all.
// Success: "更新成功，请手动打开程序", then the program ends with 0. Any failure after the
// download started: the "更新失败" sheet naming the step and cause, with "意见反馈" (feedback
// window), "退出程序" (closes this window) and "跳过此版本" (older login window).
#include <QWidget>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "gelmora/Legacy/Update/UpdateFlow.h"
#include "ui/Legacy/LegacyContext.h"

class QLabel;
class QProgressBar;
class AlertSheetPresenter;

namespace gelmora::ui {

class ScreenRegistry;

// What the update window uses; every field has a default.
struct UpdateWindowOptions {
  std::string usedHost;    // empty: TsParams::getUseddomain()
  std::string installDir;  // empty: the installation the program runs from
  std::string helperPath;  // empty: <installDir>/libexec/gelmora/gelmora-update-helper
  std::string supportURL;  // empty: the brand setting UpdateSupportChatURL
  AlertSheetPresenter* alerts = nullptr;  // none: Qt alerts, sheets on this window
  // Of the older windows' context: `process` (none: the Qt one) ends the program, `screens`
  // (none: the shared registry) opens the login and feedback windows, which get the context.
  LegacyContext context;
  // Steps of the flow to replace (needsRights, rights, unloadKEXT, runHelper, log). status
  // and progress, when given, also see every text and value, on the main thread, after the
  // window shows them; alert and cancel are always the window's.
  gelmora::update::UpdateFlow::Steps steps;
};

class updateWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr const char* kFeedbackKey = "url_feedback";
  static constexpr const char* kFeedbackButton = "意见反馈";
  static constexpr const char* kQuitButton = "退出程序";
  static constexpr const char* kSkipButton = "跳过此版本";

  using Options = UpdateWindowOptions;

  explicit updateWindow(Options options = {}, QWidget* parent = nullptr);
  ~updateWindow() override;

  // The status text and the progress bar (KiB; busy while the length is unknown).
  QLabel* labeInitData() const { return labeInitData_; }
  QProgressBar* NowProgressBar() const { return NowProgressBar_; }
  // The windows this one opened and keeps.
  QWidget* feedbackWindow() const { return feedbackWindow_.get(); }
  QWidget* loginWindow() const { return loginWindow_.get(); }
  // True from the start until the download has ended (then the rest runs on the main thread).
  bool isDownloading() const { return downloading_; }

  // Opens the older login window and orders this one out.
  void switchLogin();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void updateClientToLatestVersion();
  void downloadEnded(std::optional<gelmora::update::UpdateOutcome> failed);
  void finish(const gelmora::update::UpdateOutcome& outcome);
  void showFailure(const gelmora::update::UpdateFailure& failure);
  void answerFailure(long response);
  void showStatus(const std::string& text);
  void showProgress(double value, double maximum);
  void joinWorker();
  ScreenRegistry& screens() const;

  Options options_;
  std::unique_ptr<AlertSheetPresenter> ownAlerts_;
  std::unique_ptr<ProcessControl> ownProcess_;
  AlertSheetPresenter* alerts_ = nullptr;
  ProcessControl* process_ = nullptr;
  std::unique_ptr<gelmora::update::UpdateFlow> flow_;
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  bool downloading_ = false;
  bool closed_ = false;

  QLabel* labeInitData_ = nullptr;
  QProgressBar* NowProgressBar_ = nullptr;
  std::unique_ptr<QWidget> feedbackWindow_;
  std::unique_ptr<QWidget> loginWindow_;
};

// Registers the update window with `registry` (olderUpdate; the opener owns the window).
void registerUpdateWindow(ScreenRegistry& registry);

}  // namespace gelmora::ui
