// Program entry: the Qt application and its main queue, the global log, the one-copy check, the
// start-up checks (each failure is a modal alert and the end), then the delegate and the loop.
//   gelmora [--smoke]   --smoke: quit with 0 once the main window is on screen and the start-up
//                       parameter request has been answered (or failed; at most 20 s), and print
//                       start-up alerts instead of waiting for someone to dismiss them (scripts,
//                       tests).
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "AppDelegate.h"
#include "RootFactory.h"
#include "SingleInstance.h"
#include "WebProfile.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/Utils.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/QtProcessControl.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsWindow.h"

namespace {

void startupAlert(const std::string& informativeText) {
  QMessageBox box(QMessageBox::Critical, QString(),
                  QString::fromUtf8(gelmora::entry::kAlertMessage));
  box.setInformativeText(QString::fromStdString(informativeText));
  box.addButton(QString::fromUtf8(gelmora::entry::kAlertButton), QMessageBox::AcceptRole);
  box.exec();
}

// Ends the loop with 0 once the window has been put on screen and `settled` answers yes (checked
// every 50 ms for at most 20 s, so a script sees the start-up request at its server).
class SmokeExit : public QObject {
 public:
  SmokeExit(QWidget* window, std::function<bool()> settled)
      : QObject(window), window_(window), settled_(std::move(settled)) {
    window->installEventFilter(this);
    // Exposure is reported to the native window, painting to the widget.
    if (window->windowHandle()) window->windowHandle()->installEventFilter(this);
    check();  // it may be on screen already
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Expose || event->type() == QEvent::Paint ||
        event->type() == QEvent::Show)
      check();
    return false;
  }

 private:
  void check() {
    if (done_ || !window_->isVisible() || !window_->windowHandle() ||
        !window_->windowHandle()->isExposed())
      return;
    done_ = true;
    // The screens on show, for whoever checks which one a start opened.
    std::string screens;
    for (QWidget* w : window_->findChildren<QWidget*>()) {
      const std::string name = w->metaObject()->className();
      if (w->isVisible() && name.ends_with("ViewController")) screens += " " + name;
    }
    gelmora::logLine("main window shown; screens:" + screens);
    waitUntil_.start();
    QTimer* poll = new QTimer(this);
    poll->setInterval(50);
    connect(poll, &QTimer::timeout, this, [this, poll] {
      const bool settled = !settled_ || settled_();
      if (!settled && !waitUntil_.hasExpired(20000)) return;
      poll->stop();
      if (!settled) gelmora::logLine("the start-up parameter request did not settle in 20 s");
      QCoreApplication::exit(0);
    });
    poll->start();
  }

  QWidget* window_;
  std::function<bool()> settled_;
  QElapsedTimer waitUntil_;
  bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  // The web pages share one GL context with the widgets.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  // The window closing is not the end: the tray item stays until the user quits.
  QApplication::setQuitOnLastWindowClosed(false);

  MLOG().UpdateUserinfo();

  // A second copy would reload the filter under the first one: it hands over and ends here.
  gelmora::app::SingleInstance instance;
  if (!instance.claim()) {
    gelmora::logLine("another copy runs; asked it to come to the front");
    return 0;
  }

  // A session that ends during the start-up still stops acceleration and ends with 0 once the
  // loop runs.
  gelmora::app::AppDelegate::catchTerminationSignals();

  std::string P, L, C;
  AppDependencies::preferredLanguage(P, L, C);
  gelmora::ui::L10n::installTable(AppDependencies::languageCode(P, L, C));

  gelmora::entry::StartupSteps steps;
  steps.alert = startupAlert;
  if (smoke) {
    steps.alert = [](const std::string& text) {
      std::fprintf(stderr, "gelmora: start-up alert: %s\n", text.c_str());
    };
  }
  if (auto status = gelmora::entry::runStartupChecks(gelmora::entry::executablePath(),
                                                     app().defaults().store(), steps))
    return *status;

  gelmora::ui::QtAlertSheetPresenter alerts;
  gelmora::ui::QtProcessControl process;
  gelmora::app::RootFactory rootFactory;
  gelmora::app::QtWebDataStore webData;
  Utils::setUrlOpener(&gelmora::ui::urlOpener());
  // Acceleration alerts land on the window that was active at start (the main window when none).
  app().vpn().setAlertPresenter(&alerts);
  app().vpn().prepare();

  gelmora::app::AppDelegate::Collaborators c;
  c.alerts = &alerts;
  c.webData = &webData;
  c.rootFactory = &rootFactory;
  c.process = &process;
  gelmora::app::AppDelegate delegate(c);
  delegate.installTerminationSignals();
  QObject::connect(&instance, &gelmora::app::SingleInstance::activateRequested, &delegate,
                   [&delegate] { delegate.applicationShouldHandleReopen(); });
  QTimer::singleShot(0, &delegate, [&delegate, smoke] {
    delegate.applicationDidFinishLaunching();
    if (smoke && delegate.window())
      new SmokeExit(delegate.window(), [&delegate] {
        return !delegate.dependencies() || delegate.dependencies()->launchParamsSettled();
      });
  });
  int status = application.exec();
  app().vpn().setAlertPresenter(nullptr);
  Utils::setUrlOpener(nullptr);
  return status;
}
