// The application delegate on real widgets: launch, the tray menu by session and acceleration
// status, the acceleration toggle, launch at login, quitting, closing the window, SIGTERM,
// feedback windows, and acceleration alerts on the window active at start.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <filesystem>

#include "../ui/UiTestSupport.h"
#include "AppDelegate.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/netext/VpnStatus.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Subject.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsWindow.h"

namespace rx = platform::reactive;
using gelmora::app::AppDelegate;
using gelmora::ui::test::waitFor;

namespace {

// An acceleration controller that only records; start fails or succeeds as told.
class FakeVpn : public AccelerationController {
 public:
  rx::Signal<bool> start() override {
    return rx::Signal<bool>::create([this](const rx::SubscriberPtr<bool>& s) {
      ++starts;
      // A controller that connects at once: a second branch of the toggle must not stop it.
      if (connectsAtOnce) status_ = 3;
      if (failStart) {
        s->sendError(rx::Error{"test", 100, "start failed", std::nullopt});
      } else {
        s->sendCompleted();
      }
      return rx::Disposable();
    });
  }
  void stop() override { ++stops; }
  void sendStopCMD(std::function<void()> done) override {
    ++stopCommands;
    if (done) done();
  }
  long long status() const override { return status_; }

  long long status_ = 1;
  bool failStart = false;
  bool connectsAtOnce = false;
  int starts = 0, stops = 0, stopCommands = 0;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/app-delegate-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    defaults_ = std::make_unique<AppUserDefaults>(
        std::make_shared<platform::defaults::Store>(dir_ + "/defaults.json"));
    user_ = std::make_unique<TsUserController>(*defaults_);
    AppEnvironment::setCurrentEnvironment(AppEnvironment::make<AppOxlaEnvironment>());
  }
  void TearDown() override {
    delegate_.reset();
    user_.reset();
    AppEnvironment::setCurrentEnvironment(nullptr);
    std::filesystem::remove_all(dir_);
  }
  AppDelegate& launch() {
    AppDelegate::Collaborators c;
    c.alerts = &alerts_;
    c.urlOpener = &opener_;
    c.process = &process_;
    c.clipboard = &clipboard_;
    c.user = user_.get();
    c.defaults = defaults_.get();
    c.vpn = &vpn_;
    c.enableLoginItem = [this](bool on) {
      loginItemCalls_.push_back(on);
      return loginItemWorks_;
    };
    c.startAnalytics = [this] { ++analytics_; };
    c.quitAlert = [this] {
      ++quitAsked_;
      return quitAnswer_;
    };
    c.feedbackWindow = [this](const std::string& url) {
      feedbackUrls_.push_back(url);
      return new QWidget();
    };
    c.container = [](AppDependencies::Collaborators) { return std::unique_ptr<AppDependencies>(); };
    delegate_ = std::make_unique<AppDelegate>(c);
    delegate_->applicationDidFinishLaunching();
    return *delegate_;
  }
  void signIn() {
    user_->setSession(GVTsSession{});
    user_->updateStatus(false);
    ASSERT_NE(user_->status(), 0);
  }
  // The menu as the user sees it: titles, "-" for separators.
  std::vector<QString> menuTitles() {
    delegate_->menuNeedsUpdate();
    std::vector<QString> titles;
    for (QAction* a : delegate_->menu()->actions())
      titles.push_back(a->isSeparator() ? "-" : a->text());
    return titles;
  }
  QAction* item(const char* key) {
    for (QAction* a : delegate_->menu()->actions())
      if (a->text() == gelmora::ui::L10n::text(key)) return a;
    return nullptr;
  }

  std::string dir_;
  std::unique_ptr<AppUserDefaults> defaults_;
  std::unique_ptr<TsUserController> user_;
  FakeVpn vpn_;
  gelmora::ui::RecordingAlertSheetPresenter alerts_;
  gelmora::ui::RecordingUrlOpener opener_;
  gelmora::ui::RecordingProcessControl process_;
  gelmora::ui::RecordingClipboard clipboard_;
  std::vector<bool> loginItemCalls_;
  bool loginItemWorks_ = true;
  int analytics_ = 0;
  long quitAnswer_ = AppDelegate::kFirstButton;
  int quitAsked_ = 0;
  std::vector<std::string> feedbackUrls_;
  std::unique_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, LaunchShowsTheOneWindowAndStartsAnalytics) {
  AppDelegate& d = launch();
  ASSERT_NE(d.window(), nullptr);
  EXPECT_TRUE(d.window()->isVisible());
  EXPECT_EQ(d.window()->size(), QSize(950, 600));
  EXPECT_EQ(gelmora::ui::mainWindow(), d.window());
  EXPECT_EQ(analytics_, 1);
  EXPECT_EQ(d.barImage(), "ic_status");
  EXPECT_TRUE(process_.exits.empty());
}

TEST_F(AppDelegateTest, PasteboardAnalyticsParameters) {
  const struct {
    std::vector<std::string> texts;
    std::optional<std::string> stored;
    bool cleared;
  } cases[] = {
      {{"dravik-ga:"}, std::nullopt, false},
      {{"dravik-ga:abc"}, "abc", true},
      {{"abc"}, std::nullopt, false},
      {{}, std::nullopt, false},
  };
  for (const auto& c : cases) {
    defaults_->setGaParams(std::nullopt);
    clipboard_.contents = c.texts;
    clipboard_.clears = 0;
    launch();
    EXPECT_EQ(defaults_->gaParams(), c.stored);
    EXPECT_EQ(clipboard_.clears > 0, c.cleared);
    EXPECT_EQ(clipboard_.contents.empty(), c.cleared || c.texts.empty());
  }
}

TEST_F(AppDelegateTest, MenuBySessionAndStatus) {
  launch();
  using gelmora::ui::L10n::text;
  const QString common[] = {text("系统启动时运行 OxlaVPN"),
                            text("联系我们"),
                            "-",
                            text("隐藏"),
                            "-",
                            text("退出 OxlaVPN")};
  for (bool signedIn : {false, true}) {
    if (signedIn) signIn();
    for (long long status = 0; status <= 5; ++status) {
      vpn_.status_ = status;
      std::vector<QString> want;
      if (signedIn) {
        const char* key = status == 1   ? "start_button"
                          : status == 2 ? "starting_button"
                          : status == 3 ? "stop_button"
                                        : "----";
        want = {text(key), "-", text("注销"), "-"};
      } else {
        want = {text("登录"), "-"};
      }
      want.insert(want.end(), std::begin(common), std::end(common));
      EXPECT_EQ(menuTitles(), want) << "signed in " << signedIn << " status " << status;
      if (signedIn) {
        QAction* first = delegate_->menu()->actions().front();
        EXPECT_TRUE(first->isEnabled());
        // Only start (1) and stop (3) do anything.
        const int starts = vpn_.starts, stops = vpn_.stops;
        first->trigger();
        EXPECT_EQ(vpn_.starts - starts, status == 1 ? 1 : 0) << status;
        EXPECT_EQ(vpn_.stops - stops, status == 3 ? 1 : 0) << status;
      }
    }
  }
  // The window hidden: "open" in place of "hide", and it shows the same window again.
  QWidget* window = delegate_->window();
  delegate_->hideKeyWindow();
  menuTitles();
  ASSERT_NE(item("打开"), nullptr);
  EXPECT_EQ(item("隐藏"), nullptr);
  item("打开")->trigger();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(delegate_->window(), window);
}

TEST_F(AppDelegateTest, ToggleStartsOrStopsNeverBoth) {
  launch();
  signIn();
  vpn_.connectsAtOnce = true;
  menuTitles();
  QAction* start = item("start_button");
  ASSERT_NE(start, nullptr);
  start->trigger();
  EXPECT_EQ(vpn_.starts, 1);
  EXPECT_EQ(vpn_.stops, 0);
  EXPECT_FALSE(start->isEnabled());
  // A failed start gives the item back.
  vpn_.status_ = 1;
  vpn_.failStart = true;
  vpn_.connectsAtOnce = false;
  menuTitles();
  start = item("start_button");
  start->trigger();
  EXPECT_EQ(vpn_.starts, 2);
  EXPECT_TRUE(start->isEnabled());
  // Connected: one press stops.
  vpn_.status_ = 3;
  menuTitles();
  item("stop_button")->trigger();
  EXPECT_EQ(vpn_.stops, 1);
  EXPECT_EQ(vpn_.starts, 2);
}

TEST_F(AppDelegateTest, LaunchAtLoginMarkFollowsTheOutcome) {
  launch();
  menuTitles();
  QAction* boot = item("系统启动时运行 OxlaVPN");
  ASSERT_TRUE(boot->isCheckable());
  EXPECT_FALSE(boot->isChecked());
  boot->trigger();
  EXPECT_TRUE(boot->isChecked());
  EXPECT_TRUE(defaults_->launchAtLogin());
  // Refused: the mark goes back and the unchanged state is stored.
  loginItemWorks_ = false;
  boot->trigger();
  EXPECT_TRUE(boot->isChecked());
  EXPECT_TRUE(defaults_->launchAtLogin());
  EXPECT_EQ(loginItemCalls_, (std::vector<bool>{true, false}));
  menuTitles();
  EXPECT_TRUE(item("系统启动时运行 OxlaVPN")->isChecked());
}

TEST_F(AppDelegateTest, QuittingStopsAccelerationFirst) {
  AppDelegate& d = launch();
  quitAnswer_ = AppDelegate::kFirstButton + 1;
  EXPECT_EQ(d.applicationShouldTerminate(), AppDelegate::TerminateReply::Cancel);
  EXPECT_EQ(vpn_.stopCommands, 0);
  EXPECT_TRUE(process_.exits.empty());

  quitAnswer_ = AppDelegate::kFirstButton;
  vpn_.status_ = 1;
  EXPECT_EQ(d.applicationShouldTerminate(), AppDelegate::TerminateReply::Now);
  EXPECT_EQ(vpn_.stopCommands, 0);

  vpn_.status_ = 3;
  EXPECT_EQ(d.applicationShouldTerminate(), AppDelegate::TerminateReply::Later);
  EXPECT_EQ(vpn_.stopCommands, 1);
  EXPECT_EQ(process_.exits, std::vector<int>{0});  // from the stop's callback

  // Through the menu item: disconnected ends at once.
  process_.exits.clear();
  vpn_.status_ = 1;
  menuTitles();
  item("退出 OxlaVPN")->trigger();
  EXPECT_EQ(process_.exits, std::vector<int>{0});
}

TEST_F(AppDelegateTest, QuitKeysOfTheWindowAskAndStopFirst) {
  AppDelegate& d = launch();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(d.window()));
  d.window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(d.window()));
  quitAnswer_ = AppDelegate::kFirstButton + 1;
  QTest::keyClick(d.window(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(quitAsked_, 1);
  EXPECT_TRUE(process_.exits.empty());
  EXPECT_EQ(vpn_.stopCommands, 0);

  quitAnswer_ = AppDelegate::kFirstButton;
  vpn_.status_ = 3;
  QTest::keyClick(d.window(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(vpn_.stopCommands, 1);
  EXPECT_EQ(process_.exits, std::vector<int>{0});  // from the stop's callback
}

TEST_F(AppDelegateTest, ClosingTheWindowEndsOnlyWithCloseAppOn) {
  AppDelegate& d = launch();
  d.window()->close();
  EXPECT_FALSE(d.window()->isVisible());
  EXPECT_FALSE(d.applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_TRUE(process_.exits.empty());
  defaults_->setCloseApp(true);
  EXPECT_TRUE(d.applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_EQ(vpn_.stopCommands, 1);
  EXPECT_EQ(process_.exits, std::vector<int>{0});
}

TEST_F(AppDelegateTest, SigtermStopsAndEndsWithZero) {
  AppDelegate& d = launch();
  vpn_.status_ = 3;
  d.installTerminationSignals();
  ::raise(SIGTERM);
  ASSERT_TRUE(waitFor([&] { return !process_.exits.empty(); }));
  EXPECT_EQ(vpn_.stops, 1);
  EXPECT_EQ(process_.exits, std::vector<int>{0});
}

TEST_F(AppDelegateTest, FeedbackWindowIsReplacedAndMailGoesToTheBrandMailbox) {
  AppDelegate& d = launch();
  auto& center = platform::notifications::NotificationCenter::defaultCenter();
  center.post(TsUserFeedbackNotification, std::string("http://127.0.0.1/feedback/1"));
  QPointer<QWidget> first = d.feedbackWindow();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->isVisible());
  center.post(TsUserFeedbackNotification, std::string("http://127.0.0.1/feedback/2"));
  EXPECT_NE(d.feedbackWindow(), first.data());
  EXPECT_TRUE(waitFor([&] { return first.isNull(); }));
  EXPECT_EQ(feedbackUrls_.size(), 2u);

  d.sendEmail();
  EXPECT_EQ(opener_.opened,
            std::vector<std::string>{"mailto:" + AppOxlaEnvironment().FeedbackEmail()});
}

TEST_F(AppDelegateTest, TrayImageFollowsTheStatus) {
  AppDelegate& d = launch();
  const char* want[] = {"ic_status_disconnected", "ic_status_disconnected",
                        "ic_status_busy",         "ic_status",
                        "ic_status_busy",         "ic_status_busy"};
  for (long long s = 0; s <= 5; ++s) {
    vpn_.status_ = s;
    platform::notifications::NotificationCenter::defaultCenter().post(
        platform::netext::NEVPNStatusDidChangeNotification);
    EXPECT_EQ(d.barImage(), want[s]) << s;
  }
}

TEST_F(AppDelegateTest, AlertsOfAFailingStartReachTheWindowActiveAtStart) {
  launch();
  QWidget other;
  other.resize(300, 200);
  other.show();
  // Active when the start is asked for.
  QApplication::setActiveWindow(&other);
  ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == &other; }));
  TsKextVPNController::Steps steps;
  steps.unloadKEXT = [] {};
  steps.loakKEXT = [] {};
  steps.existKEXT = [] { return false; };
  steps.openConnection = [] { return false; };
  steps.closeConnection = [] {};
  TsKextVPNController kext(steps);
  gelmora::ui::QtAlertSheetPresenter presenter;
  kext.setAlertPresenter(&presenter);
  bool failed = false;
  auto sub =
      kext.start().subscribe(rx::Observer<bool>{{}, [&](const rx::Error&) { failed = true; }, {}});
  // The main window comes to the front before the outcome arrives.
  QApplication::setActiveWindow(delegate_->window());
  kext.drain();
  ASSERT_TRUE(waitFor([&] { return failed; }));
  QMessageBox* box = nullptr;
  ASSERT_TRUE(waitFor([&] {
    box = other.findChild<QMessageBox*>();
    return box != nullptr;
  }));
  EXPECT_EQ(delegate_->window()->findChild<QMessageBox*>(), nullptr);
  box->close();
}

}  // namespace
