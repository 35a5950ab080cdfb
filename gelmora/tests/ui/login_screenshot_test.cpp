// The login screen under a real X server (no window manager): saves login_signin.png,
// login_signup.png, login_reset.png and login_chooser.png for a person to look at, checks probe
// pixels, and drags the window by its picture.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTest>

#include "../TestSupport.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/REST/CurlTransport.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/reactive/Scheduler.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Login-Oxla/OXLoginViewController.h"

using gelmora::ui::test::waitFor;

namespace {

bool near(QColor a, QColor b, int tolerance = 4) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}
std::string rgb(QColor c) {
  return std::to_string(c.red()) + "," + std::to_string(c.green()) + "," + std::to_string(c.blue());
}

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

class LoginScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    TQAPIConfig::sharedInstance().reset();
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
    // No property identifier: the service sends nothing.
    MeasurementProtocolClient::Configuration config;
    analytics = std::make_unique<TsAnalyticsService>(
        *defaults, *user,
        std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
        std::make_shared<platform::reactive::TestScheduler>(), "h");
    OXLoginViewController::Collaborators c;
    c.user = user.get();
    c.analytics = analytics.get();
    c.defaults = defaults.get();
    c.presenter = &presenter;
    c.screens = &screens;
    c.webDomain = [] { return std::string("web.test"); };
    screen = std::make_unique<OXLoginViewController>(std::move(c), nullptr);
    screen->resize(950, 600);
    screen->move(100, 100);
    screen->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(screen.get()));
  }
  void TearDown() override {
    screen.reset();
    analytics.reset();
    user.reset();
    gelmora::ui::UiTiming::setScale(1);
  }

  // Lets colour changes finish, then grabs the screen and saves it under `name`.
  QImage shot(const QString& name) {
    QTest::qWait(60);
    QImage image = screen->grab().toImage();
    QDir().mkpath(screenshotDir());
    image.save(screenshotDir() + "/" + name);
    return image;
  }

  TempDir tmp;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  std::unique_ptr<TsAnalyticsService> analytics;
  gelmora::ui::RecordingAlertSheetPresenter presenter;
  gelmora::ui::ScreenRegistry screens;
  std::unique_ptr<OXLoginViewController> screen;
};

TEST_F(LoginScreenshotTest, SignInSignUpResetAndChooser) {
  OXLoginView* view = screen->specView();
  QImage img = shot("login_signin.png");
  ASSERT_EQ(img.size(), QSize(950, 600));
  for (QPoint p : {QPoint(320, 580), QPoint(900, 50)})
    EXPECT_TRUE(near(img.pixelColor(p), QColor(31, 29, 50))) << rgb(img.pixelColor(p));
  EXPECT_TRUE(near(img.pixelColor(625, 140), QColor(54, 51, 69), 2));
  for (int y : {215, 285}) EXPECT_TRUE(near(img.pixelColor(625, y), QColor(54, 51, 70), 2)) << y;
  // The six provider pictures lie in their row.
  int coloured = 0;
  for (int x = 425; x < 825; x += 3)
    coloured += !near(img.pixelColor(x, 500), QColor(31, 29, 50), 10);
  EXPECT_GT(coloured, 40);
  // The sign-in button is dimmed until the input is valid.
  const QColor dim = img.pixelColor(420, 408);
  QTest::keyClicks(view->emailLoginView()->emailField()->textField(), "a@b.com");
  QTest::keyClicks(view->emailLoginView()->passwordField()->textField(), "123456");
  img = shot("login_signin.png");
  const QColor left = img.pixelColor(414, 408), right = img.pixelColor(836, 408);
  EXPECT_TRUE(near(left, QColor(77, 69, 217), 30)) << rgb(left);
  EXPECT_TRUE(near(right, QColor(191, 82, 150), 30)) << rgb(right);
  EXPECT_GT(std::abs(dim.blue() - img.pixelColor(420, 408).blue()), 30) << rgb(dim);

  QTest::mouseClick(view->emailLoginView()->emailSignupBtn(), Qt::LeftButton);
  img = shot("login_signup.png");
  EXPECT_TRUE(view->emailLoginView()->signupButton()->isVisible());

  view->switchToView(view->emailResetView());
  img = shot("login_reset.png");
  for (int y : {215, 285, 355})
    EXPECT_TRUE(near(img.pixelColor(625, y), QColor(54, 51, 70), 2)) << y;
  EXPECT_TRUE(near(img.pixelColor(766, 266), QColor(59, 58, 131), 3))
      << rgb(img.pixelColor(766, 266));
  // The heading's title stays white before and after a click on it.
  auto whiteIn = [&](const QImage& im) {
    for (int x = 400; x < 600; ++x)
      for (int y = 100; y < 130; ++y)
        if (near(im.pixelColor(x, y), Qt::white, 30)) return true;
    return false;
  };
  EXPECT_TRUE(whiteIn(img));
  QTest::mouseClick(screen->windowHandle(), Qt::LeftButton, {}, QPoint(440, 115));
  EXPECT_TRUE(whiteIn(shot("login_reset.png")));

  view->unionButtonClicked();
  shot("login_chooser.png");
  EXPECT_TRUE(view->unionLoginView()->isVisible());
}

TEST_F(LoginScreenshotTest, DragOnThePictureMovesTheWindow) {
  QWindow* w = screen->windowHandle();
  const QPoint start = screen->pos();
  // On the form: nothing moves.
  QTest::mousePress(w, Qt::LeftButton, {}, QPoint(500, 30));
  QTest::mouseMove(w, QPoint(540, 60));
  QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(540, 60));
  QTest::qWait(50);
  EXPECT_EQ(screen->pos(), start);
  // On the picture: the window follows the drag.
  QTest::mousePress(w, Qt::LeftButton, {}, QPoint(100, 300));
  QTest::mouseMove(w, QPoint(140, 330));
  ASSERT_TRUE(waitFor([&] { return screen->pos() != start; }, 3000));
  EXPECT_EQ(screen->pos(), start + QPoint(40, 30));
  QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(140, 330));
}

}  // namespace
