// The phone forms and binding panels under a real X server: saves phone_login_form.png,
// phone_bind_panel.png, phone_bound_notice.png, wechat_link_panel.png, email_bind_panel.png and
// first_login_panel.png for a person to look at, and checks probe pixels.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTest>

#include "../TestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/reactive/Scheduler.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Login-Oxla/OXBindEmailView.h"
#include "ui/Sections/Login/NSPhoneBindSuccessView.h"
#include "ui/Sections/Login/TsBindWCView.h"
#include "ui/Sections/Login/TsCountryCodeProvider.h"
#include "ui/Sections/Login/TsFirstLoginAuthView.h"
#include "ui/Sections/Login/TsLoginViewController.h"
#include "ui/Sections/Login/TsPhoneBindView.h"
#include "ui/Sections/Login/TsVerifyCodeViewModel.h"

using gelmora::ui::ManualTicker;

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

class PhoneScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    defaults = std::make_unique<AppUserDefaults>(
        std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json"));
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
    JVX_USER_INFO info;
    info.username = "player";
    info.uid = 7;
    user->setSession(GVTsSession::initWithUserInfo(info));
  }
  void TearDown() override { gelmora::ui::UiTiming::setScale(1); }

  // Shows `w` as a window of `size`, lets it paint, saves it under `name`.
  QImage shot(QWidget& w, QSize size, const QString& name) {
    w.resize(size);
    w.move(100, 100);
    w.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(60);
    QImage image = w.grab().toImage();
    QDir().mkpath(screenshotDir());
    image.save(screenshotDir() + "/" + name);
    return image;
  }

  TempDir tmp;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  TsCountryCodeProvider codes{R"({"CN": ["China", "86"], "GB": ["United Kingdom", "44"]})", "CN"};
};

TEST_F(PhoneScreenshotTest, LoginForm) {
  gelmora::ui::ScreenRegistry screens;
  gelmora::ui::RecordingUrlOpener opener;
  gelmora::ui::TsVerifyCodeViewModel verify{
      gelmora::ui::TsVerifyCodeViewModel::Collaborators{std::make_unique<ManualTicker>()}};
  TsLoginViewController::Collaborators c;
  c.user = user.get();
  c.defaults = defaults.get();
  c.screens = &screens;
  c.verify = &verify;
  c.webDomain = "www.brand.test";
  c.opener = &opener;
  c.countryCodes = &codes;
  c.ticker = std::make_unique<ManualTicker>();
  c.bindTicker = std::make_unique<ManualTicker>();
  TsLoginViewController screen(std::move(c), nullptr);
  QImage img = shot(screen, QSize(950, 600), "phone_login_form.png");
  ASSERT_EQ(img.size(), QSize(950, 600));
  EXPECT_TRUE(near(img.pixelColor(900, 590), QColor(31, 29, 50))) << rgb(img.pixelColor(900, 590));
  EXPECT_TRUE(near(img.pixelColor(625, 90), QColor(54, 51, 70), 2)) << rgb(img.pixelColor(625, 90));
  // The picture on the left is not the form's colour.
  EXPECT_FALSE(near(img.pixelColor(100, 300), QColor(31, 29, 50), 10));

  screen.firstLoginAuth();
  img = shot(screen, QSize(950, 600), "first_login_panel.png");
  EXPECT_TRUE(near(img.pixelColor(240, 590), Qt::white, 2)) << rgb(img.pixelColor(240, 590));
  EXPECT_FALSE(near(img.pixelColor(100, 300), Qt::white, 30));
}

TEST_F(PhoneScreenshotTest, BindPanelAndNotice) {
  TsPhoneBindView panel(nullptr, &codes);
  QImage img = shot(panel, QSize(600, 500), "phone_bind_panel.png");
  EXPECT_TRUE(near(img.pixelColor(10, 490), QColor(42, 38, 66), 2)) << rgb(img.pixelColor(10, 490));
  EXPECT_TRUE(near(img.pixelColor(300, 116), QColor(64, 60, 85), 2))
      << rgb(img.pixelColor(300, 116));
  for (int y : {201, 281})
    EXPECT_TRUE(near(img.pixelColor(300, y), QColor(54, 51, 70), 2))
        << y << " " << rgb(img.pixelColor(300, y));
  EXPECT_TRUE(near(img.pixelColor(453, 262), QColor(59, 58, 131), 3))
      << rgb(img.pixelColor(453, 262));

  NSPhoneBindSuccessView notice(nullptr, user.get());
  notice.setPhone("13700000000");
  img = shot(notice, QSize(400, 500), "phone_bound_notice.png");
  EXPECT_TRUE(near(img.pixelColor(10, 490), QColor(42, 38, 66), 2));
  // The button's gradient runs from the dark to the light end across 60..340 × 380..424.
  const QColor left = img.pixelColor(66, 402), right = img.pixelColor(334, 402);
  EXPECT_TRUE(near(left, QColor(77, 69, 217), 30)) << rgb(left);
  EXPECT_TRUE(near(right, QColor(191, 82, 150), 30)) << rgb(right);
  EXPECT_TRUE(near(img.pixelColor(200, 375), QColor(42, 38, 66), 2));
  EXPECT_TRUE(near(img.pixelColor(200, 430), QColor(42, 38, 66), 2));
}

TEST_F(PhoneScreenshotTest, WeChatAndEmailPanels) {
  auto* wechat = new TsBindWCView(nullptr, user.get());
  QImage img = shot(*wechat, QSize(400, 500), "wechat_link_panel.png");
  EXPECT_TRUE(near(img.pixelColor(10, 490), QColor(42, 38, 66), 2));
  delete wechat;

  OXBindEmailView email;
  img = shot(email, QSize(600, 500), "email_bind_panel.png");
  EXPECT_TRUE(near(img.pixelColor(10, 490), QColor(42, 38, 66), 2));
  // Rule under the heading, bottom lines of the three inputs.
  EXPECT_TRUE(near(img.pixelColor(300, 90), QColor::fromRgbF(0.21f, 0.2f, 0.27f), 3))
      << rgb(img.pixelColor(300, 90));
  for (int y : {165, 235, 305})
    EXPECT_TRUE(near(img.pixelColor(300, y), QColor(54, 51, 70), 2))
        << y << " " << rgb(img.pixelColor(300, y));
}

}  // namespace
