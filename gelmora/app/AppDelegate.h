#pragma once
// The application object's delegate: once the main loop runs it sets the application up (start-up
// container, analytics, the one main window, the tray item and its menu), and it decides what
// closing the window, quitting and the end of the session do: acceleration is stopped before the
// process ends.
#include <QAction>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <string>

#include "gelmora/Application/AlertSheetPresenter.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/ProcessControl.h"
#include "gelmora/Application/UrlOpener.h"
#include "platform/reactive/Disposable.h"
#include "ui/Kit/TsWindow.h"

class AccelerationController;
class AppUserDefaults;
class QSocketNotifier;
class TsUserController;

namespace gelmora::app {

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  // The quit alert's first button, as the platform numbers it.
  static constexpr long kFirstButton = 1000;
  enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

  // Everything the delegate works with; empty members are the application's own.
  struct Collaborators {
    AlertSheetPresenter* alerts = nullptr;
    WebDataStore* webData = nullptr;
    RootViewControllerFactory* rootFactory = nullptr;
    UrlOpener* urlOpener = nullptr;
    ProcessControl* process = nullptr;
    Clipboard* clipboard = nullptr;
    TsUserController* user = nullptr;
    AppUserDefaults* defaults = nullptr;
    AccelerationController* vpn = nullptr;
    // Registers (yes) or removes (no) launch at login; false when refused.
    std::function<bool(bool)> enableLoginItem;
    // firstInstall, launchPage, startHeartbeat.
    std::function<void()> startAnalytics;
    // Shows the quit alert modally and answers the button (kFirstButton for "yes_button").
    std::function<long()> quitAlert;
    // Makes a feedback window for the page address (none when that window is not built).
    std::function<QWidget*(const std::string& url)> feedbackWindow;
    // Makes and runs the start-up container (none: skipped).
    std::function<std::unique_ptr<AppDependencies>(AppDependencies::Collaborators)> container;
  };

  explicit AppDelegate(Collaborators collaborators);
  ~AppDelegate() override;

  // Stops the launch-at-login companion, takes analytics parameters off the clipboard, runs the
  // start-up container, starts analytics, shows the main window, builds the tray item and
  // starts watching feedback and acceleration status notifications.
  void applicationDidFinishLaunching();

  // Takes analytics parameters left on the clipboard by the web site.
  void getPasteBoard();
  // Rebuilds the tray menu from the current state (before every opening).
  void menuNeedsUpdate();
  void toggleVPN(QAction* sender);
  void toggleBoot(QAction* sender);
  void logout();
  void sendEmail();
  void showKeyWindow();
  void hideKeyWindow();
  // The quit item: ask, then quit now, later (once acceleration has stopped) or not at all.
  TerminateReply applicationShouldTerminate();
  void quit();
  // The main window was closed: with "close app" on, stop acceleration and end.
  bool applicationShouldTerminateAfterLastWindowClosed();
  // Another copy was started: bring the window back.
  bool applicationShouldHandleReopen();
  // The session ends (SIGTERM): stop acceleration and end with 0.
  void computerWillShutDown();
  void showFeedback(const std::string& url);
  void activeMainWindow() { showKeyWindow(); }

  // SIGTERM (and SIGHUP, the session's end) reach computerWillShutDown on the main thread.
  void installTerminationSignals();
  // Holds SIGTERM and SIGHUP from now on (start-up included) until installTerminationSignals
  // hands them to the delegate once the loop runs. False when they cannot be caught.
  static bool catchTerminationSignals();

  // The image named for an acceleration status.
  static const char* statusImageName(long long status);

  TsWindow* window() const { return window_; }
  QWidget* feedbackWindow() const { return feedbackWindow_; }
  QSystemTrayIcon* barItem() const { return barItem_; }
  QMenu* menu() const { return menu_.get(); }
  AppDependencies* dependencies() const { return dependencies_.get(); }
  // The name of the image the tray item shows now.
  const std::string& barImage() const { return barImage_; }

 private:
  void initMenuBar();
  void setBarImage(const char* name);
  QAction* vpnControlItem();
  QAction* addItem(const char* key, std::function<void(QAction*)> action);

  Collaborators c_;
  TsUserController& user_;
  AppUserDefaults& defaults_;
  AccelerationController& vpn_;
  std::unique_ptr<AppDependencies> dependencies_;
  QPointer<TsWindow> window_;
  QPointer<QWidget> feedbackWindow_;
  QSystemTrayIcon* barItem_ = nullptr;
  std::unique_ptr<QMenu> menu_;
  std::string barImage_;
  platform::reactive::CompositeDisposable subscriptions_;
  QSocketNotifier* signalNotifier_ = nullptr;
  bool quitting_ = false;
};

}  // namespace gelmora::app
