#pragma once
// The start-up window of the older generation: an animated status text while the start-up
// parameters are fetched on a worker, then exactly one of: the update window, the main window
// after a token sign-in, the login window, or the live-support page after a failed start.
#include <QLabel>
#include <QWidget>
#include <atomic>
#include <memory>

#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"
#include "ui/Legacy/LegacyContext.h"

namespace gelmora::ui {

class WelcomeWindow : public QWidget {
  Q_OBJECT
 public:
  explicit WelcomeWindow(const LegacyContext& context = {}, QWidget* parent = nullptr);
  ~WelcomeWindow() override;

  QWidget* loginWindow() const { return loginWindow_.get(); }
  QWidget* mainWindow() const { return mainWin_.get(); }
  QWidget* feedbackWindow() const { return feedbackWindow_.get(); }
  bool updateAsked() const { return updateAsked_; }
  QWidget* updateWindow() const { return updateWindow_.get(); }

 private:
  void startUp();
  void AutoLogin();
  void switchLogin();
  void switchMain();
  void timerLoadingAction();

  LegacyContext ctx_;
  std::atomic<bool> initOk_{false};
  int pointCount_ = 0;
  bool updateAsked_ = false;
  platform::dispatch::Timer timerLoading_;
  std::unique_ptr<QWidget> feedbackWindow_;
  std::unique_ptr<QWidget> updateWindow_;
  std::unique_ptr<QWidget> loginWindow_;
  std::unique_ptr<QWidget> mainWin_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::shared_ptr<platform::dispatch::SerialQueue> worker_;
};

}  // namespace gelmora::ui
