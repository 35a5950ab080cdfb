#include "AppDelegate.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>

#include "app/Legacy/OlderWebWindow.h"
#include "app/Sections/Login/TsThirdLoginViewController.h"
#include "app/Sections/Shop/TsIAPShopViewController.h"
#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Application/TsLaunchAtLoginService.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/netext/VpnStatus.h"
#include "platform/storekit/StoreKit.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsWindow.h"

namespace gelmora::app {

namespace {

namespace rx = platform::reactive;

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
  const char c = 1;
  // Nothing else is safe here; the main thread reads the byte.
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

long defaultQuitAlert() {
  QMessageBox box(QMessageBox::Warning, QString(), ui::L10n::text(""), QMessageBox::NoButton,
                  ui::mainWindow());
  box.setInformativeText(ui::L10n::text("sure_to_opt_out"));
  QPushButton* yes = box.addButton(ui::L10n::text("yes_button"), QMessageBox::AcceptRole);
  box.addButton(ui::L10n::text("cancel"), QMessageBox::RejectRole);
  box.setDefaultButton(yes);
  box.exec();
  return box.clickedButton() == yes ? AppDelegate::kFirstButton : AppDelegate::kFirstButton + 1;
}

// The window reports its close here (it only hides itself).
class CloseWatcher : public QObject {
 public:
  CloseWatcher(QObject* parent, std::function<void()> closed)
      : QObject(parent), closed_(std::move(closed)) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Close && event->spontaneous()) closed_();
    return false;
  }

 private:
  std::function<void()> closed_;
};

}  // namespace

AppDelegate::AppDelegate(Collaborators c)
    : c_(std::move(c)),
      user_(c_.user ? *c_.user : ::app().user()),
      defaults_(c_.defaults ? *c_.defaults : ::app().defaults()),
      vpn_(c_.vpn ? *c_.vpn : ::app().vpn()) {
  if (!ui::ScreenRegistry::shared().outsideAccountPage.registered())
    registerOutsideAccountPage(ui::ScreenRegistry::shared());
  if (!ui::ScreenRegistry::shared().webWindow.registered())
    registerWebScreens(ui::ScreenRegistry::shared());
  // The older generation: only FeedBackB opens, when an older reply names a feedback page.
  if (!ui::ScreenRegistry::shared().olderWebWindow.registered())
    registerOlderWebWindows(ui::ScreenRegistry::shared());
  installFeedbackHook();
  if (!c_.urlOpener) c_.urlOpener = &ui::urlOpener();
  if (!c_.clipboard) c_.clipboard = &ui::clipboard();
  if (!c_.enableLoginItem) c_.enableLoginItem = &TsLaunchAtLoginService::enableLoginItem;
  if (!c_.startAnalytics) {
    c_.startAnalytics = [] {
      ::app().analytics().firstInstall();
      ::app().analytics().launchPage();
      ::app().analytics().startHeartbeat();
    };
  }
  if (!c_.quitAlert) c_.quitAlert = &defaultQuitAlert;
  if (!c_.feedbackWindow) {
    c_.feedbackWindow = [](const std::string& url) {
      return ui::ScreenRegistry::shared().feedbackWindow.make(url);
    };
  }
  if (!c_.container) {
    c_.container = [](AppDependencies::Collaborators dc) {
      auto d = std::make_unique<AppDependencies>(std::move(dc));
      d->setUpAll();
      return d;
    };
  }
}

AppDelegate::~AppDelegate() {
  subscriptions_.dispose();
  if (barItem_) barItem_->hide();
  if (feedbackWindow_) delete feedbackWindow_.data();
  if (window_) delete window_.data();
}

const char* AppDelegate::statusImageName(long long status) {
  switch (status) {
    case 0:
    case 1:
      return "ic_status_disconnected";
    case 2:
    case 4:
    case 5:
      return "ic_status_busy";
    case 3:
      return "ic_status";
    default:
      return "ic_status_disconnected";
  }
}

void AppDelegate::applicationDidFinishLaunching() {
  // The one-copy check ran before the start-up checks (SingleInstance in main).
  TsLaunchAtLoginService::terminateHelperApp();
  getPasteBoard();

  AppDependencies::Collaborators dc;
  dc.alerts = c_.alerts;
  dc.webData = c_.webData;
  dc.rootFactory = c_.rootFactory;
  dc.urlOpener = c_.urlOpener;
  dc.process = c_.process;
  dc.user = &user_;
  dc.defaults = &defaults_;
  // A paid purchase stays pending until the service accepts a receipt upload.
  dc.receiptAccepted = [] { storekit::PendingTransactions().finishAll(); };
  dependencies_ = c_.container(std::move(dc));
  if (!storekit::StoreShare::shared().backend()) {
    auto env = ::app().env();
    storekit::StoreShare::shared().setBackend(std::make_shared<storekit::HttpStoreBackend>(
        env ? env->setting(AppEnvironment::kStoreServerURL) : std::string()));
  }

  c_.startAnalytics();

  window_ = new TsWindow();
  ui::setMainWindow(window_);
  if (dependencies_) {
    if (auto* root = dynamic_cast<QWidget*>(dependencies_->rootViewController().get()))
      window_->setContentView(root);
  }
  window_->installEventFilter(new CloseWatcher(window_, [this] {
    // After the window's own handling, so the window is hidden when this runs.
    QMetaObject::invokeMethod(
        this, [this] { applicationShouldTerminateAfterLastWindowClosed(); }, Qt::QueuedConnection);
  }));
  // The platform's quit keys (Ctrl+Q) take the same road as the quit item: ask, then stop first.
  auto* quitKeys = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window_);
  quitKeys->setContext(Qt::ApplicationShortcut);
  connect(quitKeys, &QShortcut::activated, this, [this] { quit(); });
  showKeyWindow();

  ui::observe(this, TsUserFeedbackNotification,
              [this](const platform::notifications::Notification& n) {
                if (const auto* url = std::any_cast<std::string>(&n.object)) showFeedback(*url);
              });
  initMenuBar();
  ui::observe(this, platform::netext::NEVPNStatusDidChangeNotification,
              [this](const platform::notifications::Notification&) {
                setBarImage("ic_status");
                setBarImage(statusImageName(vpn_.status()));
              });
}

void AppDelegate::getPasteBoard() {
  for (const std::string& text : c_.clipboard->texts()) {
    if (auto params = entry::gaParamsFromPasteboard(text)) {
      defaults_.setGaParams(*params);
      c_.clipboard->clear();
    }
  }
}

void AppDelegate::initMenuBar() {
  menu_ = std::make_unique<QMenu>();
  connect(menu_.get(), &QMenu::aboutToShow, this, &AppDelegate::menuNeedsUpdate);
  menuNeedsUpdate();
  barItem_ = new QSystemTrayIcon(this);
  barItem_->setContextMenu(menu_.get());
  setBarImage("ic_status");
  // Some desktops open the menu only on the context click; a plain click shows the window.
  connect(barItem_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) showKeyWindow();
          });
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    barItem_->show();
  } else {
    gelmora::logLine("no system tray on this desktop: the tray item and its menu are not shown");
  }
}

void AppDelegate::setBarImage(const char* name) {
  barImage_ = name;
  if (barItem_) barItem_->setIcon(ui::Images::icon(name));
}

QAction* AppDelegate::addItem(const char* key, std::function<void(QAction*)> action) {
  QAction* item = menu_->addAction(ui::L10n::text(key));
  if (action) {
    QPointer<QAction> guard(item);
    connect(item, &QAction::triggered, this, [guard, action] {
      if (guard) action(guard.data());
    });
  }
  return item;
}

QAction* AppDelegate::vpnControlItem() {
  switch (vpn_.status()) {
    case 1:
      return addItem("start_button", [this](QAction* a) { toggleVPN(a); });
    case 2:
      return addItem("starting_button", {});
    case 3:
      return addItem("stop_button", [this](QAction* a) { toggleVPN(a); });
    default:
      return addItem("----", {});
  }
}

void AppDelegate::menuNeedsUpdate() {
  menu_->clear();
  // The tray image is right whenever the menu opens, whatever was missed before.
  if (barItem_) setBarImage(statusImageName(vpn_.status()));
  if (user_.status() != 0) {
    vpnControlItem()->setEnabled(true);
    menu_->addSeparator();
    addItem("注销", [this](QAction*) { logout(); });
  } else {
    addItem("登录", [this](QAction*) { showKeyWindow(); });
  }
  menu_->addSeparator();
  QAction* boot = addItem("系统启动时运行 OxlaVPN", {});
  boot->setCheckable(true);
  boot->setChecked(defaults_.launchAtLogin());
  QPointer<QAction> bootGuard(boot);
  connect(boot, &QAction::triggered, this, [this, bootGuard] {
    if (!bootGuard) return;
    // The item has toggled itself already; toggleBoot decides from the mark it had.
    bootGuard->setChecked(!bootGuard->isChecked());
    toggleBoot(bootGuard.data());
  });
  addItem("联系我们", [this](QAction*) { sendEmail(); });
  menu_->addSeparator();
  if (window_ && window_->isVisible()) {
    addItem("隐藏", [this](QAction*) {
      hideKeyWindow();
    })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
  } else {
    addItem("打开", [this](QAction*) {
      showKeyWindow();
    })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  }
  menu_->addSeparator();
  addItem("退出 OxlaVPN", [this](QAction*) {
    quit();
  })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void AppDelegate::toggleVPN(QAction* sender) {
  QPointer<QAction> item(sender);
  // One press does one thing: start from disconnected, or stop from connected.
  if (vpn_.status() == 1) {
    if (item) item->setEnabled(false);
    subscriptions_.add(vpn_.start().subscribe(rx::Observer<bool>{{},
                                                                 [item](const rx::Error&) {
                                                                   if (item) item->setEnabled(true);
                                                                 },
                                                                 {}}));
  } else if (vpn_.status() == 3) {
    if (item) item->setEnabled(false);
    vpn_.stop();
  }
}

void AppDelegate::toggleBoot(QAction* sender) {
  if (sender->isChecked()) {
    sender->setChecked(false);
    if (!c_.enableLoginItem(false)) sender->setChecked(true);
  } else {
    sender->setChecked(true);
    if (!c_.enableLoginItem(true)) sender->setChecked(false);
  }
  defaults_.setLaunchAtLogin(sender->isChecked());
}

void AppDelegate::logout() { subscriptions_.add(user_.resign().subscribe({})); }

void AppDelegate::sendEmail() {
  auto env = ::app().env();
  std::string mail = env ? env->FeedbackEmail() : std::string();
  if (mail.empty()) {
    gelmora::logLine("no feedback mailbox in this brand");
    return;
  }
  c_.urlOpener->openURL("mailto:" + mail);
}

void AppDelegate::showKeyWindow() {
  if (!window_) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void AppDelegate::hideKeyWindow() {
  if (window_) window_->hide();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() {
  if (c_.quitAlert() != kFirstButton) return TerminateReply::Cancel;
  if (vpn_.status() == 3) {
    ProcessControl* process = c_.process;
    vpn_.sendStopCMD([process] {
      if (process) process->exit(0);
    });
    return TerminateReply::Later;
  }
  return TerminateReply::Now;
}

void AppDelegate::quit() {
  if (quitting_) return;
  TerminateReply reply = applicationShouldTerminate();
  if (reply == TerminateReply::Cancel) return;
  quitting_ = true;
  if (reply == TerminateReply::Now && c_.process) c_.process->exit(0);
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
  if (!defaults_.closeApp()) return false;
  ProcessControl* process = c_.process;
  vpn_.sendStopCMD([process] {
    if (process) process->exit(0);
  });
  return true;
}

bool AppDelegate::applicationShouldHandleReopen() {
  showKeyWindow();
  return true;
}

void AppDelegate::computerWillShutDown() {
  vpn_.stop();
  if (c_.process) c_.process->exit(0);
}

void AppDelegate::showFeedback(const std::string& url) {
  QWidget* next = c_.feedbackWindow(url);
  if (!next) return;
  if (feedbackWindow_) feedbackWindow_->deleteLater();
  feedbackWindow_ = next;
  next->show();
  next->raise();
  next->activateWindow();
}

bool AppDelegate::catchTerminationSignals() {
  if (signalPipe[0] >= 0) return true;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
    gelmora::logLine("termination signals not watched: no socket pair");
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
  return true;
}

void AppDelegate::installTerminationSignals() {
  if (signalNotifier_ || !catchTerminationSignals()) return;
  signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
  connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    while (::read(signalPipe[0], buf, sizeof buf) > 0) {
    }
    computerWillShutDown();
  });
}

}  // namespace gelmora::app
