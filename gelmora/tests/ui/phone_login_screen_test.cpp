// The phone login screen on real widgets against an in-process session of stand-ins: the restore
// of the last login, the remember-login box, the sign-in command by tab, the outside-account row,
// the bind-phone flow to the online state, the first-login panel and the links.
#include <gtest/gtest.h>

#include <QTest>

#include "GuiSession.h"
#include "UiTestSupport.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Login/TsCountryCodeProvider.h"
#include "ui/Sections/Login/TsLoginViewController.h"
#include "ui/Sections/Login/TsVerifyCodeViewModel.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::test::waitFor;

namespace {

constexpr const char* kCodes =
    R"({"CN": ["China", "86"], "GB": ["United Kingdom", 44], "AU": ["Australia", "61"]})";

class PhoneLoginScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    ASSERT_TRUE(session.ready());
    gelmora::ui::setUrlOpener(&opener);
    screens.outsideAccountPage.set(
        [this](const gelmora::ui::OutsideAccountRequest& r, QWidget*) -> QWidget* {
          pages.push_back(r.url);
          return nullptr;
        });
  }
  void TearDown() override {
    screen.reset();
    gelmora::ui::setUrlOpener(nullptr);
    gelmora::ui::UiTiming::setScale(1);
  }

  TsLoginViewController* open() {
    TsLoginViewController::Collaborators c;
    c.user = &session.user();
    c.defaults = &session.defaults();
    c.screens = &screens;
    c.verify = &verify;
    c.countryCodes = &codes;
    c.opener = &opener;
    auto t = std::make_unique<ManualTicker>();
    ticker = t.get();
    c.ticker = std::move(t);
    auto b = std::make_unique<ManualTicker>();
    bindTicker = b.get();
    c.bindTicker = std::move(b);
    screen = std::make_unique<TsLoginViewController>(std::move(c), nullptr);
    screen->resize(950, 600);
    screen->show();
    return screen.get();
  }
  size_t requests(const std::string& path) {
    size_t n = 0;
    for (const auto& r : session.account.requests()) n += r.path == path;
    return n;
  }
  // Signs a stand-in account in without going online (it must bind a phone first).
  bool signInUnverified(const std::string& phone = "") {
    standin::account::Account a;
    a.username = "newbie";
    a.password = "secret1";
    a.phone = phone;
    a.realNameVerification = 0;
    const int64_t uid = session.account.addAccount(a).uid;
    session.account.setCredit(uid, {"month", "2099-01-01"});
    bool done = false;
    auto sub = session.user()
                   .signinWithPhone("newbie", "", "secret1", false)
                   .subscribe({[](const JVX_USER_INFO&) {},
                               [&](const platform::reactive::Error&) { done = true; },
                               [&] { done = true; }});
    return waitFor([&] { return done; }, 10000) && session.user().session().has_value();
  }

  gelmora::test::GuiSession session;
  gelmora::ui::RecordingUrlOpener opener;
  gelmora::ui::ScreenRegistry screens;
  std::vector<std::string> pages;
  TsCountryCodeProvider codes{kCodes, "GB"};
  gelmora::ui::TsVerifyCodeViewModel verify{
      gelmora::ui::TsVerifyCodeViewModel::Collaborators{std::make_unique<ManualTicker>()}};
  ManualTicker* ticker = nullptr;
  ManualTicker* bindTicker = nullptr;
  std::unique_ptr<TsLoginViewController> screen;
};

TEST_F(PhoneLoginScreenTest, RestoresTheLastLogin) {
  struct Row {
    bool autoLogin;
    std::optional<std::string> user, code;
    bool box, phoneTab, emailField;
    const char *phone, *label, *email;
  };
  const Row rows[] = {
      {false, "13800000000", "+852", false, true, false, "", "+44", ""},
      {true, "13800000000", "+852", true, true, false, "13800000000", "+852", ""},
      {true, "13800000000", std::nullopt, true, true, false, "13800000000", "+44", ""},
      {true, "player@gelmora.test", std::nullopt, true, false, true, "", "+44",
       "player@gelmora.test"},
      {true, "not a login", "+1", true, true, false, "", "+44", ""},
  };
  for (const auto& r : rows) {
    session.defaults().setAutoLogin(r.autoLogin);
    session.defaults().setLastLoginUser(r.user);
    session.defaults().setLastLoginCountryCode(r.code);
    TsLoginView* form = open()->specView();
    const std::string name = r.user.value_or("");
    EXPECT_EQ(form->autoLoginButton()->isChecked(), r.box) << name;
    EXPECT_EQ(form->isPhoneLogin(), r.phoneTab) << name;
    EXPECT_EQ(form->emailLogin(), r.emailField) << name;
    EXPECT_EQ(form->userNameField()->textField()->text(), r.phone) << name;
    EXPECT_EQ(form->userNameField()->countryCodeLabel()->text(), r.label) << name;
    EXPECT_EQ(form->emailField()->textField()->text(), r.email) << name;
    // The bindings started from the restored texts.
    EXPECT_EQ(screen->model().userName.value(), r.phone) << name;
    EXPECT_EQ(screen->model().countryCode.value(), r.label) << name;
    EXPECT_EQ(screen->model().email.value(), r.email) << name;
    screen.reset();
  }
}

TEST_F(PhoneLoginScreenTest, RememberBoxOffForgetsTheLogin) {
  session.defaults().setLastLoginUser("13800000000");
  session.defaults().setLastLoginCountryCode("+86");
  session.user().savePassword("secret1");
  ASSERT_EQ(session.user().loadPassword().value_or(""), "secret1");
  TsLoginView* form = open()->specView();
  ASSERT_TRUE(form->autoLoginButton()->isChecked());
  QTest::mouseClick(form->autoLoginButton(), Qt::LeftButton);
  EXPECT_FALSE(session.defaults().autoLogin());
  EXPECT_FALSE(session.defaults().lastLoginUser());
  EXPECT_FALSE(session.defaults().lastLoginCountryCode());
  session.defaults().setLastLoginUser("13800000000");
  session.defaults().setLastLoginCountryCode("+86");
  EXPECT_FALSE(session.user().loadPassword());  // the keychain item went first
  // On again: only the flag.
  session.defaults().setLastLoginUser(std::nullopt);
  session.defaults().setLastLoginCountryCode(std::nullopt);
  QTest::mouseClick(form->autoLoginButton(), Qt::LeftButton);
  EXPECT_TRUE(session.defaults().autoLogin());
  EXPECT_FALSE(session.defaults().lastLoginUser());
}

TEST_F(PhoneLoginScreenTest, ReturnRunsTheCommandOfTheTab) {
  TsLoginView* form = open()->specView();
  // Phone tab: the code sign-in.
  QTest::keyClicks(form->userNameField()->textField(), "13800000000");
  QTest::keyClicks(form->codeTF()->textField(), "1234");
  EXPECT_TRUE(form->loginButton()->isEnabled());
  Q_EMIT form->passwordField()->textField()->returnPressed();
  EXPECT_TRUE(waitFor([&] { return requests("/q5client/user/sms-login") == 1; }));
  // Password tab: the password sign-in, here by e-mail.
  QTest::mouseClick(form->pwdLoginBtn(), Qt::LeftButton);
  form->toggleEmailLogin(true);
  QTest::keyClicks(form->emailField()->textField(), gelmora::test::GuiSession::kMail);
  QTest::keyClicks(form->passwordField()->textField(), gelmora::test::GuiSession::kPassword);
  EXPECT_EQ(screen->model().email.value(), gelmora::test::GuiSession::kMail);
  QTest::keyClick(form->passwordField()->textField(), Qt::Key_Return);
  EXPECT_TRUE(waitFor([&] { return session.user().status() != TsUserStatusNone; }, 10000));
  EXPECT_EQ(session.user().loginType(), "email");
  // Return in the phone field moves on to the password.
  Q_EMIT form->userNameField()->textField()->returnPressed();
  EXPECT_TRUE(form->passwordField()->textField()->hasFocus() || !form->isActiveWindow());
}

TEST_F(PhoneLoginScreenTest, ProviderRowAndOutsideAccounts) {
  TsLoginView* form = open()->specView();
  EXPECT_TRUE(form->thirdLoginContainerView()->isVisible());
  screen->hide();
  session.user().setEnableIAP(true);
  screen->show();
  EXPECT_FALSE(form->thirdLoginContainerView()->isVisible());
  screen->hide();
  session.user().setEnableIAP(false);
  JVX_USER_INFO info;
  info.uid = 3;
  info.iap_mode = 1;
  session.user().setSession(GVTsSession::initWithUserInfo(info));
  screen->show();
  EXPECT_FALSE(form->thirdLoginContainerView()->isVisible());

  QTest::mouseClick(form->ggLoginButton(), Qt::LeftButton);
  const std::string host = session.environment()->WebDomain();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0],
            "http://" + host + "/auth/third-account-login-for-mac?third_account_provider=google");
  EXPECT_EQ(session.user().loginType(), "google");
  EXPECT_EQ(form->findPassButton()->hyperlinkInfos()->front().url.toStdString(),
            "http://" + host + "/#forget");
  EXPECT_EQ(form->registerButton()->hyperlinkInfos()->front().url.toStdString(),
            "http://" + host + "/#register");
}

TEST_F(PhoneLoginScreenTest, BindPhoneFlowToOnline) {
  open();
  TsPhoneBindView* panel = screen->bindView();
  EXPECT_FALSE(panel->isVisible());
  ASSERT_TRUE(signInUnverified());
  EXPECT_EQ(session.user().status(), TsUserStatusNone);
  ASSERT_TRUE(waitFor([&] { return panel->isVisible(); }));
  EXPECT_EQ(panel->geometry(), QRect(175, 50, 600, 500));
  EXPECT_FALSE(panel->closeButton()->isVisible());

  // The skip link waits for a voice count-down to run down.
  EXPECT_FALSE(panel->skipButton()->isVisible());
  QTest::keyClicks(panel->phoneTextField()->textField(), "13700000000");
  QTest::mouseClick(panel->codeTextField()->codeBtn(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return bindTicker->isActive(); }));
  EXPECT_EQ(panel->codeTextField()->codeBtn()->title(), "30s");
  bindTicker->fire(31);
  EXPECT_TRUE(panel->codeTextField()->voiceCodeBtn()->isVisible());
  QTest::mouseClick(panel->codeTextField()->voiceCodeBtn(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return bindTicker->isActive(); }));
  bindTicker->fire(30);
  EXPECT_TRUE(waitFor([&] { return panel->skipButton()->isVisible(); }));

  const auto code = session.account.sentCode("13700000000");
  ASSERT_TRUE(code);
  QTest::keyClicks(panel->codeTextField()->textField(), QString::fromStdString(*code));
  ASSERT_TRUE(panel->confirmButton()->isEnabled());
  QTest::mouseClick(panel->confirmButton(), Qt::LeftButton);
  NSPhoneBindSuccessView* notice = nullptr;
  ASSERT_TRUE(waitFor([&] {
    notice = screen->findChild<NSPhoneBindSuccessView*>();
    return notice && notice->isVisible();
  }));
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(notice->geometry(), QRect(275, 50, 400, 500));
  EXPECT_EQ(notice->phone(), "13700000000");
  EXPECT_TRUE(notice->noticeLabel()->text().contains("13700000000"));
  EXPECT_EQ(session.account.accountByUid(*session.user().uid())->phone, "13700000000");
  QTest::mouseClick(notice->confirmButton(), Qt::LeftButton);
  EXPECT_FALSE(notice->isVisible());
  EXPECT_EQ(session.user().status(), TsUserStatusNormal);
}

TEST_F(PhoneLoginScreenTest, SkippingTheBindPanelGoesOnline) {
  open();
  ASSERT_TRUE(signInUnverified());
  TsPhoneBindView* panel = screen->bindView();
  ASSERT_TRUE(waitFor([&] { return panel->isVisible(); }));
  screen->bindModel().clickNum.setValue(3);
  ASSERT_TRUE(waitFor([&] { return panel->skipButton()->isVisible(); }));
  QTest::mouseClick(panel->skipButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(session.user().status(), TsUserStatusNormal);
}

TEST_F(PhoneLoginScreenTest, FirstLoginPanelOnce) {
  ASSERT_TRUE(session.signIn());
  session.account.clearRequests();
  // The session's user info names the phone the code goes to.
  JVX_USER_INFO info = *session.user().session()->userInfo;
  info.phone_number = "13900000000";
  info.nick_name = "nick";
  session.user().setSession(GVTsSession::initWithUserInfo(info));
  TsLoginView* form = open()->specView();
  QTest::keyClicks(form->userNameField()->textField(), "13900000000");
  screen->firstLoginAuth();
  TsFirstLoginAuthView* panel = screen->authView();
  ASSERT_TRUE(panel);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->geometry(), screen->rect());
  EXPECT_TRUE(panel->subTitle2()->text().endsWith(" 13900000000"));
  ASSERT_TRUE(waitFor([&] { return verify.lastSecond.value() == 60; }));
  EXPECT_EQ(requests("/api/phone/verify-code"), 1u);
  auto sent = session.account.requests();
  for (const auto& r : sent)
    if (r.path == "/api/phone/verify-code") {
      EXPECT_EQ(r.info->value("type", ""), "FIRST_LOGIN");
      EXPECT_EQ(r.info->value("phone", ""), "13900000000");
      EXPECT_EQ(r.info->value("country_code", ""), "+44");
    }
  static_cast<ManualTicker&>(verify.ticker()).fire(2);
  EXPECT_EQ(panel->secondsLabel()->text(), "58s");
  // A second call changes nothing.
  screen->firstLoginAuth();
  EXPECT_EQ(screen->authView(), panel);
  EXPECT_EQ(panel->secondsLabel()->text(), "58s");
  QTest::qWait(100);
  EXPECT_EQ(requests("/api/phone/verify-code"), 1u);

  // The registration link opens through the application's opener.
  const auto link = panel->registerButton()->hyperlinkInfos()->front();
  EXPECT_EQ(link.url.toStdString(), "http://" + session.environment()->WebDomain() + "/#register");
  QTest::mouseClick(panel->registerButton(), Qt::LeftButton, {}, link.rect.center().toPoint());
  ASSERT_EQ(opener.opened.size(), 1u);
  EXPECT_EQ(opener.opened[0], link.url.toStdString());
}

TEST_F(PhoneLoginScreenTest, FirstLoginCodeFailureResetsTheCountDown) {
  session.account.setCodeForPath("/api/phone/verify-code", 5, "refused");
  TsLoginView* form = open()->specView();
  QTest::keyClicks(form->userNameField()->textField(), "13900000000");
  screen->firstLoginAuth();
  EXPECT_EQ(screen->authView()->secondsLabel()->text(), "60s");
  EXPECT_TRUE(waitFor([&] { return screen->authView()->codeButton()->isVisible(); }));
  EXPECT_EQ(verify.lastSecond.value(), 0);
}

}  // namespace
