// A sign-in on the real e-mail login screen by an account that must bind a phone, under a real X
// server: the bind panel over the screen, a "BIND_NEW_PHONE" code, the bind on the stand-in, the
// notice naming the phone, and the user online. Saves login_bind_panel.png and
// login_bound_notice.png.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "GuiSession.h"
#include "UiTestSupport.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Login-Oxla/OXLoginViewController.h"
#include "ui/Sections/Login/TsCountryCodeProvider.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::test::waitFor;

namespace {

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

TEST(LoginPhoneBindE2E, SignInBindAndGoOnline) {
  gelmora::ui::UiTiming::setScale(0.01);
  gelmora::test::GuiSession session;
  ASSERT_TRUE(session.ready());
  standin::account::Account a;
  a.username = "newbie";
  a.email = "newbie@gelmora.test";
  a.password = "secret1";
  a.realNameVerification = 0;
  const int64_t uid = session.account.addAccount(a).uid;
  session.account.setCredit(uid, {"month", "2099-01-01"});
  int stateChanges = 0;
  int marker = 0;
  platform::notifications::NotificationCenter::defaultCenter().addObserver(
      &marker, TsUserStateChangedNotification, [&](const auto&) { ++stateChanges; });

  TsCountryCodeProvider codes(R"({"CN": ["China", "86"], "GB": ["United Kingdom", "44"]})", "CN");
  gelmora::ui::RecordingAlertSheetPresenter presenter;
  gelmora::ui::ScreenRegistry screens;
  OXLoginViewController::Collaborators c;
  c.user = &session.user();
  c.analytics = &session.analyticsService();
  c.defaults = &session.defaults();
  c.presenter = &presenter;
  c.screens = &screens;
  auto ticker = std::make_unique<ManualTicker>();
  ManualTicker* bindTicker = ticker.get();
  c.bindTicker = std::move(ticker);
  c.countryCodes = &codes;
  auto screen = std::make_unique<OXLoginViewController>(std::move(c), nullptr);
  screen->resize(950, 600);
  screen->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(screen.get()));

  // Sign in on the e-mail form: the stand-in says the account has no verified phone.
  OXEmailLoginView* form = screen->specView()->emailLoginView();
  QTest::keyClicks(form->emailField()->textField(), "newbie@gelmora.test");
  QTest::keyClicks(form->passwordField()->textField(), "secret1");
  QTest::mouseClick(form->loginButton(), Qt::LeftButton);
  TsPhoneBindView* panel = screen->phoneBindFlow()->bindView();
  ASSERT_TRUE(waitFor([&] { return panel->isVisible(); }, 10000));
  EXPECT_EQ(session.user().status(), TsUserStatusNone);
  EXPECT_EQ(panel->geometry(), QRect(175, 50, 600, 500));
  QTest::qWait(60);
  QDir().mkpath(screenshotDir());
  screen->grab().save(screenshotDir() + "/login_bind_panel.png");

  // Dial code, phone, a code of the bind kind.
  QComboBox* list = panel->phoneTextField()->countryCodeButton();
  list->setCurrentIndex(1);
  Q_EMIT list->activated(1);
  ASSERT_EQ(panel->phoneTextField()->countryCodeLabel()->text(), "+44");
  QTest::keyClicks(panel->phoneTextField()->textField(), "7700900123");
  QTest::mouseClick(panel->codeTextField()->codeBtn(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return bindTicker->isActive(); }, 10000));
  EXPECT_EQ(panel->codeTextField()->codeBtn()->title(), "30s");
  const auto sent = session.account.lastRequest();
  ASSERT_TRUE(sent && sent->info);
  EXPECT_EQ(sent->path, "/api/phone/verify-code");
  EXPECT_EQ(sent->info->value("type", ""), "BIND_NEW_PHONE");
  EXPECT_EQ(sent->info->value("country_code", ""), "44");

  const auto code = session.account.sentCode("7700900123");
  ASSERT_TRUE(code);
  QTest::keyClicks(panel->codeTextField()->textField(), QString::fromStdString(*code));
  QTest::mouseClick(panel->confirmButton(), Qt::LeftButton);
  NSPhoneBindSuccessView* notice = nullptr;
  ASSERT_TRUE(waitFor(
      [&] {
        notice = screen->findChild<NSPhoneBindSuccessView*>();
        return notice && notice->isVisible();
      },
      10000));
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(session.account.accountByUid(uid)->phone, "7700900123");
  EXPECT_EQ(session.account.accountByUid(uid)->countryCode, "44");
  EXPECT_TRUE(notice->noticeLabel()->text().contains("7700900123"));
  QTest::qWait(60);
  screen->grab().save(screenshotDir() + "/login_bound_notice.png");

  QTest::mouseClick(notice->confirmButton(), Qt::LeftButton);
  EXPECT_FALSE(notice->isVisible());
  EXPECT_EQ(session.user().status(), TsUserStatusNormal);
  EXPECT_EQ(stateChanges, 1);
  platform::notifications::NotificationCenter::defaultCenter().removeObserver(&marker);
  screen.reset();
  gelmora::ui::UiTiming::setScale(1);
}

}  // namespace
