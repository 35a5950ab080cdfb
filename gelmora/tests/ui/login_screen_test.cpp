// The login screen on real widgets against the account and analytics stand-ins: the e-mail form,
// the reset form, the outside-account buttons, the code field and the picture that moves the
// window.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "../TestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/REST/CurlTransport.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"
#include "platform/reactive/Scheduler.h"
#include "standin/AccountServer.h"
#include "standin/AnalyticsCollector.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Login-Oxla/OXLoginViewController.h"

using gelmora::ui::test::waitFor;

namespace {

class LoginScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    TQAPIConfig::sharedInstance().reset();
    platform::keychain::installBackend(
        std::make_shared<platform::keychain::FileBackend>(tmp.path() / "keychain.json"));
    ASSERT_TRUE(account.start());
    ASSERT_TRUE(feedback.start());
    ASSERT_TRUE(collector.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(feedback.host());
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
    feedback.scriptPayloads("/api/v1/feedback/list", {{{"login", ""}}});
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
    MeasurementProtocolClient::Configuration config;
    config.trackingId = "UA-TEST-1";
    config.endpoint = collector.url();
    analytics = std::make_unique<TsAnalyticsService>(
        *defaults, *user,
        std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
        std::make_shared<platform::reactive::TestScheduler>(), "h");
    screens.outsideAccountPage.set(
        [this](const gelmora::ui::OutsideAccountRequest& r, QWidget*) -> QWidget* {
          pages.emplace_back(user->loginType(), r.url);
          return nullptr;
        });
  }
  void TearDown() override {
    screen.reset();
    analytics.reset();
    user.reset();
    TQAPIConfig::sharedInstance().reset();
    account.stop();
    feedback.stop();
    collector.stop();
    gelmora::ui::UiTiming::setScale(1);
  }

  OXLoginViewController* open() {
    OXLoginViewController::Collaborators c;
    c.user = user.get();
    c.analytics = analytics.get();
    c.defaults = defaults.get();
    c.presenter = &presenter;
    c.screens = &screens;
    c.webDomain = [] { return std::string("web.test"); };
    screen.reset(new OXLoginViewController(std::move(c), nullptr));
    screen->resize(950, 600);
    screen->show();
    return screen.get();
  }
  OXEmailLoginView* form() { return screen->specView()->emailLoginView(); }
  OXEmailResetPassView* resetForm() { return screen->specView()->emailResetView(); }
  static void type(TsLoginTextField* field, const QString& text) {
    QTest::keyClicks(field->textField(), text);
  }
  static void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }
  size_t hits(const std::string& key, const std::string& value) {
    size_t n = 0;
    for (const auto& h : collector.hits()) n += h.get(key) == value;
    return n;
  }

  TempDir tmp;
  standin::account::AccountServer account, feedback;
  standin::AnalyticsCollector collector;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  std::unique_ptr<TsAnalyticsService> analytics;
  gelmora::ui::RecordingAlertSheetPresenter presenter;
  gelmora::ui::ScreenRegistry screens;
  std::vector<std::pair<std::string, std::string>> pages;  // login type when opened, address
  std::unique_ptr<OXLoginViewController> screen;
};

TEST_F(LoginScreenTest, RegisteredAsTheLoginScreen) {
  EXPECT_TRUE(gelmora::ui::ScreenRegistry::shared().login.registered());
}

TEST_F(LoginScreenTest, SignInWithTheLastUserAndTheLoginPageOnce) {
  account.addAccount({0, "ann@mail.test", "ann@mail.test", "", "", "secret1", "", 10, false, 1});
  defaults->setLastLoginUser("ann@mail.test");
  open();
  EXPECT_EQ(form()->emailField()->textField()->text(), "ann@mail.test");
  EXPECT_FALSE(form()->loginButton()->isEnabled());
  type(form()->passwordField(), "secret1");
  EXPECT_TRUE(form()->loginButton()->isEnabled());
  EXPECT_TRUE(form()->loginButton()->isVisible());
  EXPECT_FALSE(form()->signupButton()->isVisible());
  screen->hide();
  screen->show();
  click(form()->loginButton());
  ASSERT_TRUE(waitFor([&] { return user->status() >= TsUserStatusExpired; }));
  ASSERT_TRUE(waitFor([&] { return hits("el", "login_channel_email") == 1; }));
  EXPECT_EQ(hits("dp", "/clientmac/loginpage"), 1u);
}

TEST_F(LoginScreenTest, NoLastUserLeavesSignInDisabled) {
  open();
  EXPECT_TRUE(form()->emailField()->textField()->text().isEmpty());
  EXPECT_FALSE(form()->loginButton()->isEnabled());
  // Only six provider buttons show, Facebook first and Kakao last.
  std::vector<QAbstractButton*> shown;
  for (auto* b : form()->thirdLoginContainerView()->findChildren<QAbstractButton*>())
    if (b->isVisible()) shown.push_back(b);
  ASSERT_EQ(shown.size(), 6u);
  std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
  EXPECT_EQ(shown.front(), form()->facebookLoginButton());
  EXPECT_EQ(shown.back(), form()->kakaoLoginButton());
  EXPECT_FALSE(form()->wechatLoginButton()->isVisible());
  EXPECT_FALSE(form()->codeTF()->isVisible());
  EXPECT_FALSE(form()->resetPasswordBtn()->isVisible());
}

TEST_F(LoginScreenTest, TabSwitchEmptiesFieldsAndModel) {
  open();
  type(form()->emailField(), "a@b.com");
  type(form()->passwordField(), "123456");
  EXPECT_TRUE(form()->loginButton()->isEnabled());
  // The selected tab: turned on, nothing else changes.
  click(form()->emailLoginBtn());
  EXPECT_EQ(form()->emailLoginBtn()->state(), 1);
  EXPECT_TRUE(form()->isLogin());
  EXPECT_EQ(form()->emailField()->textField()->text(), "a@b.com");

  click(form()->emailSignupBtn());
  EXPECT_FALSE(form()->isLogin());
  EXPECT_EQ(form()->emailLoginBtn()->state(), 0);
  EXPECT_EQ(form()->emailSignupBtn()->state(), 0);
  EXPECT_EQ(form()->emailSignupBtn()->font().pixelSize(), 25);
  EXPECT_EQ(form()->emailLoginBtn()->font().pixelSize(), 17);
  EXPECT_TRUE(form()->emailField()->textField()->text().isEmpty());
  EXPECT_TRUE(form()->passwordField()->textField()->text().isEmpty());
  EXPECT_EQ(screen->viewModel().email.value(), "");
  EXPECT_EQ(screen->viewModel().password.value(), "");
  EXPECT_TRUE(form()->signupButton()->isVisible());
  EXPECT_FALSE(form()->signupButton()->isEnabled());
  click(form()->emailLoginBtn());
  EXPECT_TRUE(form()->isLogin());
  EXPECT_TRUE(form()->emailField()->textField()->text().isEmpty());
}

TEST_F(LoginScreenTest, SignUpSignsInAtOnce) {
  open();
  click(form()->emailSignupBtn());
  type(form()->emailField(), "new@mail.test");
  type(form()->passwordField(), "pass123");
  ASSERT_TRUE(form()->signupButton()->isEnabled());
  click(form()->signupButton());
  ASSERT_TRUE(waitFor([&] { return user->status() >= TsUserStatusExpired; }));
  // The sign-in look with empty fields; the sign-in went out with the sign-up's values.
  EXPECT_TRUE(form()->loginButton()->isVisible());
  EXPECT_FALSE(form()->signupButton()->isVisible());
  EXPECT_TRUE(form()->emailField()->textField()->text().isEmpty());
  bool signedIn = false;
  for (const auto& r : account.requests())
    if (r.path == "/q5client/user/login" && r.info &&
        r.info->value("username", "") == "new@mail.test")
      signedIn = true;
  EXPECT_TRUE(signedIn);
}

TEST_F(LoginScreenTest, ResetThenSheetThenTheNewPasswordSignsIn) {
  account.addAccount({0, "ann@mail.test", "ann@mail.test", "", "", "secret1", "", 10, false, 1});
  open();
  // The reset link is hidden on the form; its action is the way to the reset form.
  EXPECT_FALSE(form()->resetPasswordBtn()->isVisible());
  form()->resetPasswordBtn()->click();
  EXPECT_EQ(screen->specView()->shownForm(), resetForm());
  type(resetForm()->emailField(), "ann@mail.test");
  auto* codeBtn = resetForm()->codeTF()->codeBtn();
  ASSERT_TRUE(codeBtn->isEnabled());
  click(codeBtn);
  ASSERT_TRUE(waitFor([&] { return account.sentCode("ann@mail.test").has_value(); }));
  ASSERT_TRUE(waitFor([&] { return codeBtn->text() == "30s"; }));
  EXPECT_EQ(form()->codeTF()->codeBtn()->text(), "30s");  // one count-down for both forms
  type(resetForm()->codeTF(), QString::fromStdString(*account.sentCode("ann@mail.test")));
  type(resetForm()->passwordField(), "newpass9");
  ASSERT_TRUE(resetForm()->resetButton()->isEnabled());

  // Back and forth: the fields empty, the model keeps its values.
  click(resetForm()->emailLoginButton());
  EXPECT_EQ(screen->specView()->shownForm(), form());
  EXPECT_TRUE(resetForm()->emailField()->textField()->text().isEmpty());
  EXPECT_TRUE(resetForm()->resetButton()->isEnabled());
  screen->specView()->switchToView(resetForm());

  click(resetForm()->resetButton());
  ASSERT_TRUE(waitFor([&] { return presenter.sheets.size() == 1; }));
  EXPECT_EQ(presenter.sheets[0].informativeText,
            gelmora::ui::L10n::text("passwordreset_hint").toStdString());
  EXPECT_EQ(screen->specView()->shownForm(), resetForm());
  presenter.answer(0);
  EXPECT_EQ(screen->specView()->shownForm(), form());
  EXPECT_TRUE(form()->loginButton()->isVisible());

  type(form()->emailField(), "ann@mail.test");
  type(form()->passwordField(), "newpass9");
  click(form()->loginButton());
  ASSERT_TRUE(waitFor([&] { return user->status() >= TsUserStatusExpired; }));
}

TEST_F(LoginScreenTest, ProviderButtonsSetTheLoginTypeBeforeThePageOpens) {
  open();
  const std::pair<QAbstractButton*, const char*> rows[] = {
      {form()->kakaoLoginButton(), "kakao"},
      {form()->facebookLoginButton(), "facebook"},
      {form()->lineLoginButton(), "line"}};
  for (const auto& [button, word] : rows) {
    click(button);
    ASSERT_FALSE(pages.empty());
    EXPECT_EQ(pages.back().first, word);
    EXPECT_EQ(pages.back().second, std::string("http://web.test/auth/third-account-login-for-mac?"
                                               "third_account_provider=") +
                                       word);
  }
  EXPECT_EQ(form()->kakaoLoginButton()->property("tag").toInt(), 107);
  EXPECT_EQ(form()->wechatLoginButton()->property("tag").toInt(), 100);
}

TEST_F(LoginScreenTest, ResetHeadingTakesNoClicks) {
  open();
  screen->specView()->switchToView(resetForm());
  auto* heading = resetForm()->emailLoginBtn();
  EXPECT_EQ(heading->state(), 1);
  // A click there reaches what lies beneath, never the heading.
  QWidget* centre = resetForm()->centerView();
  EXPECT_NE(centre->childAt(heading->geometry().center()), heading);
  EXPECT_EQ(heading->state(), 1);
  EXPECT_TRUE(
      waitFor([&] { return heading->shownColor(DRFlatButton::TitleColor) == QColor(Qt::white); }));
  EXPECT_EQ(heading->property("tag").toInt(), 1001);
}

TEST_F(LoginScreenTest, CodeField) {
  for (bool secure : {false, true}) {
    TsLoginCodeTF field(QPixmap(21, 21), secure);
    field.resize(450, 40);
    field.show();
    EXPECT_EQ(field.textField()->echoMode(), secure ? QLineEdit::Password : QLineEdit::Normal);
    EXPECT_TRUE(field.codeBtn()->isVisible());
    EXPECT_FALSE(field.voiceCodeBtn()->isVisible());
    EXPECT_EQ(field.codeBtn()->geometry(), QRect(360, 5, 90, 30));
    field.voiceCodeBtn()->show();
    EXPECT_EQ(field.voiceCodeBtn()->geometry(), QRect(260, 5, 90, 30));
  }
}

TEST_F(LoginScreenTest, PastedTextOfAnyKindIsTaken) {
  open();
  const QString texts[] = {QString(32767, QChar('x')), QString::fromUtf8("电子邮件@例子.中国"),
                           QString::fromUtf8("a\x01\x1f\x7f@b.com")};
  for (const auto& t : texts) {
    form()->emailField()->textField()->clear();
    form()->emailField()->textField()->insert(t);
    Q_EMIT form()->emailField()->textField()->textEdited(form()->emailField()->textField()->text());
    EXPECT_FALSE(form()->loginButton()->isEnabled());
  }
}

}  // namespace
