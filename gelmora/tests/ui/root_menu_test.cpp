// The root of the main window and its menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <filesystem>

#include "UiTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/defaults/Store.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Root/TsMenuViewController.h"
#include "ui/Sections/Root/TsRootViewController.h"

using namespace gelmora::ui;
using gelmora::ui::test::LogCapture;
using gelmora::ui::test::waitFor;
using platform::notifications::NotificationCenter;

namespace {

struct FakeWebWindow : WebWindowHandle {
  explicit FakeWebWindow(int* closes) : closes(closes) {}
  void close() override { ++*closes; }
  QWidget* window() const override { return nullptr; }
  int* closes;
};

// Counts the show events of a screen.
struct ShowCounter : QObject {
  int shows = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Show) ++shows;
    return false;
  }
};

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiTiming::setScale(0.01);
    const auto dir =
        std::filesystem::temp_directory_path() / ("root_menu_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::remove(dir / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(
        std::make_shared<platform::defaults::Store>(dir / "defaults.json"));
    defaults->setClientIdProvider([] { return std::string("cid"); });

    auto screen = [this](const char* name) {
      return [this, name](QWidget* parent) {
        ++made[name];
        auto* w = new QWidget(parent);
        w->setObjectName(name);
        return w;
      };
    };
    registry.login.set(screen("login"));
    registry.acceleration.set(screen("acceleration"));
    registry.shop.set(screen("shop"));
    registry.profile.set(screen("profile"));
    registry.webWindow.set([this](const WebWindowRequest& r) {
      requests.push_back(r);
      return std::make_unique<FakeWebWindow>(&closes);
    });
  }
  void TearDown() override {
    delete root;
    UiTiming::setScale(1);
  }

  TsRootViewController* makeRoot() {
    TsRootDependencies deps;
    deps.userStatus = [this] { return status; };
    deps.defaults = defaults.get();
    deps.startupAnalytics = [this] { ++startups; };
    deps.registerAnalytics = [this] { ++registers; };
    deps.screens = &registry;
    root = new TsRootViewController(deps);
    return root;
  }
  void stateChanged(int64_t s) {
    status = s;
    NotificationCenter::defaultCenter().post(TsUserStateChangedNotification);
  }
  TsMenuViewController* menu() const {
    return qobject_cast<TsMenuViewController*>(root->currentViewController());
  }

  std::unique_ptr<AppUserDefaults> defaults;
  ScreenRegistry registry;
  std::map<std::string, int> made;
  std::vector<WebWindowRequest> requests;
  int closes = 0;
  int64_t status = 0;
  int startups = 0;
  int registers = 0;
  TsRootViewController* root = nullptr;
};

TEST_F(RootTest, StatusPicksLoginOrMenu) {
  makeRoot();
  EXPECT_EQ(startups, 1);
  struct Case {
    int64_t status;
    bool login;
  } cases[] = {{0, true}, {1, true}, {2, true}, {3, false}, {4, false}, {2, true}};
  for (const auto& c : cases) {
    stateChanged(c.status);
    EXPECT_EQ(root->showsLogin(), c.login) << c.status;
    ASSERT_NE(root->currentViewController(), nullptr);
    EXPECT_EQ(root->currentViewController()->objectName() == "login", c.login) << c.status;
    EXPECT_EQ(root->currentViewController()->parentWidget(), root);
  }
}

TEST_F(RootTest, LoginStaysWhileTheUserStaysUnusable) {
  makeRoot();
  QWidget* login = root->currentViewController();
  ASSERT_EQ(made["login"], 1);
  stateChanged(1);
  EXPECT_EQ(root->currentViewController(), login);  // no fade, no new screen
  EXPECT_EQ(made["login"], 1);
}

TEST_F(RootTest, UsableUserGetsANewMenuOnEveryChange) {
  status = 4;
  makeRoot();
  TsMenuViewController* first = menu();
  ASSERT_NE(first, nullptr);
  QPointer<QWidget> firstScreen = first->contentViewController();
  EXPECT_EQ(made["acceleration"], 1);
  stateChanged(3);
  ASSERT_NE(menu(), nullptr);
  EXPECT_NE(menu(), first);
  EXPECT_EQ(made["acceleration"], 2);
  EXPECT_EQ(made["shop"], 2);
  EXPECT_EQ(made["profile"], 2);
  // The replaced menu goes with its screens.
  EXPECT_TRUE(waitFor([&] { return firstScreen.isNull(); }));
}

TEST_F(RootTest, LogoutFeedbackOpensOnceAfterTheSwap) {
  status = 4;
  makeRoot();
  defaults->setLogoutFeedbackUrl(std::string("https://example.com/bye"));
  stateChanged(0);
  EXPECT_TRUE(requests.empty());  // 0.3 s later, not at once
  ASSERT_TRUE(waitFor([&] { return requests.size() == 1; }));
  EXPECT_EQ(requests[0].url.rfind("https://example.com/bye?lang=", 0), 0u);
  EXPECT_EQ(requests[0].width, 680);
  EXPECT_EQ(requests[0].height, 500);
  EXPECT_TRUE(requests[0].title.isEmpty());
  EXPECT_EQ(defaults->logoutFeedbackUrl().value_or(""), "");

  stateChanged(0);
  QTest::qWait(30);
  EXPECT_EQ(requests.size(), 1u);
}

TEST_F(RootTest, LoginFeedbackNeedsASignedInUserAndOpensOnce) {
  makeRoot();
  defaults->setLoginFeedbackUrl(std::string("https://example.com/hello"));
  auto& center = NotificationCenter::defaultCenter();
  center.post(TsUserLoginFeedbackNotification);
  EXPECT_TRUE(requests.empty());  // status 0
  status = 4;
  center.post(TsUserLoginFeedbackNotification);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url.rfind("https://example.com/hello", 0), 0u);
  center.post(TsUserLoginFeedbackNotification);
  EXPECT_EQ(requests.size(), 1u);
}

TEST_F(RootTest, SecondPageClosesTheFirstWindow) {
  makeRoot();
  root->showWebWindowWithTitle("", "https://example.com/a");
  root->showWebWindowWithTitle("", "https://example.com/b");
  EXPECT_EQ(requests.size(), 2u);
  EXPECT_EQ(closes, 1);
}

TEST_F(RootTest, BothSignUpNotificationsSendTheAnalytics) {
  makeRoot();
  NotificationCenter::defaultCenter().post(TsUserRegisterGANotification);
  EXPECT_EQ(registers, 1);
  NotificationCenter::defaultCenter().post(TsUserRegisterSuccessNotification);
  EXPECT_EQ(registers, 2);
}

TEST_F(RootTest, UnbuiltScreensOpenNothing) {
  LogCapture log;
  ScreenRegistry empty;
  TsRootDependencies deps;
  deps.userStatus = [] { return int64_t{0}; };
  deps.defaults = defaults.get();
  deps.startupAnalytics = [] {};
  deps.screens = &empty;
  root = new TsRootViewController(deps);
  EXPECT_EQ(root->currentViewController(), nullptr);
  EXPECT_TRUE(log.contains("screen not built: login"));
  root->resize(950, 600);
  const QImage shot = root->grab().toImage();
  EXPECT_EQ(shot.pixelColor(475, 300), QColor(255, 59, 48));  // the root's own red
  root->showWebWindowWithTitle("", "https://example.com");
  EXPECT_TRUE(log.contains("screen not built: web window"));

  delete root;
  root = nullptr;
  status = 4;
  deps.userStatus = [] { return int64_t{4}; };
  root = new TsRootViewController(deps);
  ASSERT_NE(menu(), nullptr);
  EXPECT_TRUE(menu()->menuItems().empty());  // the menu lists registered screens only
  EXPECT_EQ(menu()->menuIndex(), -1);
}

// ---------------------------------------------------------------- menu

class MenuTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    status = 4;
    makeRoot();
    root->resize(950, 600);
    m = menu();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->menuItems().size(), 3u);
  }
  TsMenuViewController* m = nullptr;
};

TEST_F(MenuTest, BarButtonsSitAt40_155_270WithTheirCaptionsBelow) {
  EXPECT_EQ(m->menuBar()->geometry(), QRect(0, 0, 100, 600));
  EXPECT_EQ(m->containerView()->geometry(), QRect(100, 0, 850, 600));
  EXPECT_EQ(m->menuContainer()->geometry(), QRect(0, 100, 100, 400));
  const int tops[] = {40, 155, 270};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m->barButtons()[i]->geometry(), QRect(0, tops[i], 100, 35)) << i;
    EXPECT_EQ(m->captionAt(i)->geometry(), QRect(0, tops[i] + 43, 100, 15)) << i;
    EXPECT_EQ(m->barButtons()[i]->property("tag").toInt(), i);
  }
  EXPECT_EQ(m->captionAt(0)->text(), "Boost");
  EXPECT_EQ(m->logoImageView()->y(), 50);
  // Neither the shutdown button (hidden at the foot) nor the close button (in no view) shows.
  EXPECT_EQ(m->shutdownButton()->geometry(), QRect(0, 500, 100, 100));
  EXPECT_TRUE(m->shutdownButton()->isHidden());
  EXPECT_EQ(m->closeButton()->parentWidget(), nullptr);
  EXPECT_FALSE(m->closeButton()->isVisible());
  // The bar's own colour.
  root->show();
  const QImage shot = root->grab().toImage();
  EXPECT_EQ(shot.pixelColor(50, 300), QColor(26, 23, 39));
}

TEST_F(MenuTest, SelectionHighlightsOneItemAndKeepsEachScreen) {
  const TsStyleSheet& style = app().style();
  auto captionColor = [&](int i) { return m->captionAt(i)->palette().color(QPalette::WindowText); };
  EXPECT_EQ(m->menuIndex(), 0);
  EXPECT_EQ(captionColor(0), style.gradientDark());
  EXPECT_EQ(captionColor(1), style.darkGray());
  QWidget* acceleration = m->contentViewController();
  ASSERT_NE(acceleration, nullptr);
  EXPECT_EQ(acceleration->objectName(), "acceleration");

  ShowCounter shows;
  acceleration->installEventFilter(&shows);
  root->show();
  const int showsBefore = shows.shows;
  QTest::mouseClick(m->barButtons()[0], Qt::LeftButton);  // the item already selected
  EXPECT_EQ(shows.shows, showsBefore);
  EXPECT_EQ(m->contentViewController(), acceleration);

  QTest::mouseClick(m->barButtons()[2], Qt::LeftButton);
  EXPECT_EQ(m->menuIndex(), 2);
  EXPECT_EQ(m->contentViewController()->objectName(), "profile");
  EXPECT_TRUE(acceleration->isHidden());
  EXPECT_EQ(captionColor(2), style.gradientDark());
  EXPECT_EQ(captionColor(0), style.darkGray());

  m->selectMenuAtIndex(0);
  EXPECT_EQ(m->contentViewController(), acceleration);  // the same screen, with its state
  EXPECT_EQ(acceleration->geometry(), m->containerView()->rect());
  EXPECT_EQ(made["acceleration"], 1);
}

TEST_F(MenuTest, ShopRequestRaisesTheWindowAndSelectsTheShop) {
  root->show();
  auto& center = NotificationCenter::defaultCenter();
  center.post(TsUserCenterTopupNotification);
  EXPECT_EQ(m->menuIndex(), 1);
  EXPECT_EQ(m->contentViewController()->objectName(), "shop");
  // Already on the shop: the window comes to the front (hidden: shown again), nothing else.
  root->hide();
  center.post(TsUserCenterTopupNotification);
  EXPECT_TRUE(root->isVisible());
  EXPECT_EQ(m->menuIndex(), 1);
}

TEST_F(MenuTest, WithoutAShopTheRequestOnlyRaisesTheWindow) {
  delete root;
  root = nullptr;
  registry.shop.set(nullptr);
  makeRoot();
  m = menu();
  ASSERT_EQ(m->menuItems().size(), 2u);
  EXPECT_EQ(m->captionAt(1)->text(), "Me");
  NotificationCenter::defaultCenter().post(TsUserCenterTopupNotification);
  EXPECT_EQ(m->menuIndex(), 0);
}

}  // namespace
