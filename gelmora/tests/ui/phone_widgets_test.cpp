// The phone forms' widgets on the offscreen platform: the phone field and its dial-code list, the
// login form's two switches, the binding panel, the bound notice, the WeChat and e-mail panels
// and the first-login panel.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include "../TestSupport.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/reactive/Scheduler.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Login-Oxla/OXBindEmailView.h"
#include "ui/Sections/Login/NSPhoneBindSuccessView.h"
#include "ui/Sections/Login/TsBindWCView.h"
#include "ui/Sections/Login/TsCountryCodePopupButton.h"
#include "ui/Sections/Login/TsCountryCodeProvider.h"
#include "ui/Sections/Login/TsFirstLoginAuthView.h"
#include "ui/Sections/Login/TsLoginView.h"
#include "ui/Sections/Login/TsPhoneBindView.h"
#include "ui/Sections/Login/TsPhoneTextField.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;

namespace {

constexpr const char* kCodes =
    R"({"CN": ["China", "86"], "GB": ["United Kingdom", 44], "AU": ["Australia", "61"]})";

class PhoneWidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults = std::make_unique<AppUserDefaults>(
        std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json"));
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
  }
  void signInAs(const std::string& name) {
    JVX_USER_INFO info;
    info.username = name;
    info.uid = 7;
    user->setSession(GVTsSession::initWithUserInfo(info));
  }
  TempDir tmp;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  TsCountryCodeProvider codes{kCodes, "GB"};
};

TEST_F(PhoneWidgetsTest, PhoneFieldAndItsList) {
  TsPhoneTextField field(nullptr, &codes);
  field.resize(400, 45);
  field.show();
  // Entry i is item i; the first item (the locale's country) shows at once.
  ASSERT_EQ(field.countryCodeButton()->count(), 3);
  EXPECT_EQ(field.countryCodeButton()->itemText(0), "United Kingdom  +44");
  EXPECT_EQ(field.countryCodeButton()->itemText(1), "Australia  +61");
  EXPECT_EQ(field.countryCodeLabel()->text(), "+44");
  EXPECT_TRUE(field.countryCodeLabel()->isReadOnly());

  // The list lies over the label: a click on the label's area opens it.
  const QPoint labelCentre = field.countryCodeLabel()->geometry().center();
  EXPECT_EQ(field.childAt(labelCentre), field.countryCodeButton());
  QTest::mouseClick(field.countryCodeButton(), Qt::LeftButton, {},
                    field.countryCodeButton()->mapFrom(&field, labelCentre));
  EXPECT_TRUE(waitFor([&] { return field.countryCodeButton()->view()->isVisible(); }));
  field.countryCodeButton()->hidePopup();

  // A choice changes the label and keeps the number; every change is signalled.
  QSignalSpy changes(field.countryCodeLabel(), &QLineEdit::textChanged);
  QTest::keyClicks(field.textField(), "13800000000");
  field.countryCodeButton()->setCurrentIndex(2);
  Q_EMIT field.countryCodeButton()->activated(2);
  EXPECT_EQ(field.countryCodeLabel()->text(), "+86");
  field.countryCodeButton()->setCurrentIndex(0);
  Q_EMIT field.countryCodeButton()->activated(0);
  EXPECT_EQ(field.countryCodeLabel()->text(), "+44");
  EXPECT_EQ(field.textField()->text(), "13800000000");
  field.countryCodeLabel()->setText("+852");
  EXPECT_EQ(changes.count(), 3);

  // An empty list: no entry, an empty label.
  TsCountryCodeProvider none("", "CN");
  TsPhoneTextField empty(nullptr, &none);
  EXPECT_EQ(empty.countryCodeButton()->count(), 0);
  EXPECT_EQ(empty.countryCodeLabel()->text(), "");

  TsCountryCodePopupButton stub;
  EXPECT_EQ(stub.count(), 1);
  EXPECT_EQ(stub.itemText(0), "123 123");
  EXPECT_EQ(stub.itemTitleAtIndex(5), "111");
}

TEST_F(PhoneWidgetsTest, LoginFormSwitches) {
  gelmora::ui::RecordingUrlOpener opener;
  TsLoginView::Options o;
  o.webDomain = "www.brand.test";
  o.opener = &opener;
  o.countryCodes = &codes;
  TsLoginView form(o, nullptr);
  form.show();
  EXPECT_TRUE(form.isPhoneLogin());
  EXPECT_FALSE(form.emailLogin());
  EXPECT_EQ(form.phoneLoginBtn()->state(), 1);
  EXPECT_EQ(form.pwdLoginBtn()->state(), 0);
  EXPECT_EQ(form.phoneLoginBtn()->property("tag").toInt(), 1001);
  EXPECT_EQ(form.pwdLoginBtn()->property("tag").toInt(), 1002);
  for (QWidget* w :
       {static_cast<QWidget*>(form.userNameField()), static_cast<QWidget*>(form.codeTF()),
        static_cast<QWidget*>(form.loginButton()), static_cast<QWidget*>(form.autoLoginButton()),
        form.thirdLoginContainerView()})
    EXPECT_TRUE(w->isVisible());
  for (QWidget* w :
       {static_cast<QWidget*>(form.emailField()), static_cast<QWidget*>(form.passwordField()),
        static_cast<QWidget*>(form.logoView()), static_cast<QWidget*>(form.welcomeTitleLabel()),
        static_cast<QWidget*>(form.findPassButton()), static_cast<QWidget*>(form.registerButton()),
        static_cast<QWidget*>(form.togglePhoneButton())})
    EXPECT_FALSE(w->isVisible());

  // The selected tab again: still on, nothing else changes.
  QSignalSpy modes(&form, &TsLoginView::isPhoneLoginChanged);
  QTest::mouseClick(form.phoneLoginBtn(), Qt::LeftButton);
  EXPECT_EQ(form.phoneLoginBtn()->state(), 1);
  EXPECT_TRUE(form.isPhoneLogin());
  EXPECT_TRUE(form.codeTF()->isVisible());
  EXPECT_EQ(modes.count(), 0);

  // E-mail tab and back: the phone number and code stay.
  QTest::keyClicks(form.userNameField()->textField(), "13800000000");
  QTest::keyClicks(form.codeTF()->textField(), "1234");
  QTest::mouseClick(form.pwdLoginBtn(), Qt::LeftButton);
  EXPECT_FALSE(form.isPhoneLogin());
  EXPECT_EQ(form.pwdLoginBtn()->state(), 1);
  EXPECT_EQ(form.phoneLoginBtn()->state(), 0);
  EXPECT_TRUE(form.emailField()->isVisible() && form.passwordField()->isVisible());
  EXPECT_FALSE(form.userNameField()->isVisible() || form.codeTF()->isVisible());
  QTest::mouseClick(form.phoneLoginBtn(), Qt::LeftButton);
  EXPECT_EQ(form.userNameField()->textField()->text(), "13800000000");
  EXPECT_EQ(form.codeTF()->textField()->text(), "1234");
  EXPECT_EQ(modes.count(), 2);

  // The field switch empties both fields and is independent of the tab.
  form.toggleEmailLogin(true);
  EXPECT_TRUE(form.emailField()->isVisible() && form.codeTF()->isVisible());
  EXPECT_FALSE(form.userNameField()->isVisible());
  EXPECT_EQ(form.userNameField()->textField()->text(), "");
  EXPECT_EQ(form.togglePhoneButton()->title(), text("使用手机账号登录"));
  form.togglePhoneButtonClicked();
  EXPECT_FALSE(form.emailLogin());
  EXPECT_EQ(form.togglePhoneButton()->title(), text("使用邮箱账号登录"));

  // The links carry a scheme.
  ASSERT_TRUE(form.findPassButton()->hyperlinkInfos());
  EXPECT_EQ(form.findPassButton()->hyperlinkInfos()->front().url, "http://www.brand.test/#forget");
  ASSERT_TRUE(form.registerButton()->hyperlinkInfos());
  EXPECT_EQ(form.registerButton()->hyperlinkInfos()->front().url,
            "http://www.brand.test/#register");
}

TEST_F(PhoneWidgetsTest, BindPanelSkipAndClose) {
  TsPhoneBindView panel(nullptr, &codes);
  panel.show();
  EXPECT_EQ(panel.size(), QSize(600, 500));
  EXPECT_FALSE(panel.skipButton()->isVisible());
  EXPECT_FALSE(panel.closeButton()->isVisible());
  EXPECT_TRUE(panel.codeTextField()->codeBtn()->isVisible());
  EXPECT_FALSE(panel.codeTextField()->voiceCodeBtn()->isVisible());
  EXPECT_EQ(panel.phoneTextField()->countryCodeLabel()->text(), "+44");
  // Without a block: nothing.
  panel.skipBind();
  panel.skipButton()->show();
  panel.closeButton()->show();
  int skipped = 0;
  panel.setSkipBlock([&] { ++skipped; });
  QTest::mouseClick(panel.skipButton(), Qt::LeftButton);
  QTest::mouseClick(panel.closeButton(), Qt::LeftButton);
  EXPECT_EQ(skipped, 2);
  EXPECT_TRUE(panel.isVisible());  // the owner hides it
}

TEST_F(PhoneWidgetsTest, BoundNotice) {
  signInAs("carol");
  NSPhoneBindSuccessView notice(nullptr, user.get());
  notice.show();
  EXPECT_EQ(notice.size(), QSize(400, 500));
  EXPECT_EQ(notice.titleLabel()->text(), "绑定成功");
  EXPECT_EQ(notice.noticeLabel()->property("tag").toInt(), 100);
  const QString format =
      text("为了更好的维护账号体系，\n后续将关闭账号及QQ登录，\n 请使用手机号%@进行登录");
  EXPECT_EQ(notice.noticeLabel()->text(), QString(format).replace("%@", "carol"));
  notice.confirm();  // no block: nothing
  notice.setPhone("");
  EXPECT_EQ(notice.noticeLabel()->text(), QString(format).replace("%@", "carol"));
  notice.setPhone("13700000000");
  EXPECT_EQ(notice.phone(), "13700000000");
  EXPECT_EQ(notice.noticeLabel()->text(), QString(format).replace("%@", "13700000000"));
  EXPECT_FALSE(notice.skipButton()->isVisible());
  int confirmed = 0, skipped = 0;
  notice.setConfirmBlock([&] { ++confirmed; });
  notice.setSkipBlock([&] { ++skipped; });
  QTest::mouseClick(notice.confirmButton(), Qt::LeftButton);
  notice.skipBind();
  EXPECT_EQ(confirmed, 1);
  EXPECT_EQ(skipped, 1);

  // Nobody signed in: the notice starts with an empty name.
  user->setSession(std::nullopt);
  NSPhoneBindSuccessView anonymous(nullptr, user.get());
  EXPECT_EQ(anonymous.noticeLabel()->text(), QString(format).replace("%@", ""));
}

TEST_F(PhoneWidgetsTest, WeChatPanel) {
  QWidget host;
  host.resize(800, 600);
  auto* panel = new TsBindWCView(&host, user.get());  // no name signed in
  host.show();
  EXPECT_EQ(panel->nameLabel()->text(), "");
  EXPECT_EQ(panel->titleLabel()->text(), text("关联微信"));
  EXPECT_TRUE(panel->explanationLabel()->text().startsWith("推荐您绑定微信号\n"));
  QTest::mouseClick(panel->confirmButton(), Qt::LeftButton);  // no action
  QPointer<TsBindWCView> guard(panel);
  QTest::mouseClick(panel->skipButton(), Qt::LeftButton);
  EXPECT_TRUE(host.findChildren<TsBindWCView*>().isEmpty());  // removed at once
  EXPECT_TRUE(waitFor([&] { return guard.isNull(); }));
  // Made again: the same, it kept nothing.
  signInAs("dave");
  TsBindWCView again(&host, user.get());
  EXPECT_EQ(again.nameLabel()->text(), "dave");
}

TEST_F(PhoneWidgetsTest, EmailBindPanel) {
  QWidget host;
  host.resize(800, 600);
  auto* panel = new OXBindEmailView(&host);
  host.show();
  EXPECT_EQ(panel->emailLoginBtn()->state(), 1);
  EXPECT_EQ(panel->emailLoginBtn()->property("tag").toInt(), 1001);
  EXPECT_FALSE(panel->emailLoginBtn()->momentary());
  EXPECT_TRUE(panel->passwordField()->textField()->echoMode() == QLineEdit::Password);
  QTest::keyClicks(panel->emailField()->textField(), "eve@mail.test");
  QTest::keyClicks(panel->codeTF()->textField(), "123456");
  QTest::keyClicks(panel->passwordField()->textField(), "secret1");
  QTest::mouseClick(panel->resetButton(), Qt::LeftButton);  // no wiring: nothing
  EXPECT_TRUE(panel->isVisible());
  QTest::mouseClick(panel->emailLoginButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->isVisible());
  panel->show();
  EXPECT_EQ(panel->emailField()->textField()->text(), "eve@mail.test");
  EXPECT_EQ(panel->codeTF()->textField()->text(), "123456");
  EXPECT_EQ(panel->passwordField()->textField()->text(), "secret1");
}

TEST_F(PhoneWidgetsTest, FirstLoginPanel) {
  gelmora::ui::RecordingUrlOpener opener;
  TsFirstLoginAuthView panel(nullptr, std::string("www.brand.test"), &opener);
  panel.show();
  // A new panel counts with "60s" until its owner says otherwise.
  EXPECT_EQ(panel.secondsLabel()->text(), text("60s"));
  EXPECT_FALSE(panel.codeButton()->isVisible());
  struct Row {
    long n;
    const char* seconds;
    bool waiting;
  };
  for (const Row& r :
       {Row{60, "60s", true}, Row{1, "1s", true}, Row{0, "0s", false}, Row{-5, "-5s", false}}) {
    panel.updateLastSecond(r.n);
    EXPECT_EQ(panel.secondsLabel()->text(), r.seconds);
    EXPECT_EQ(panel.subTitle3()->isVisible(), r.waiting) << r.n;
    EXPECT_EQ(panel.secondsLabel()->isVisible(), r.waiting) << r.n;
    EXPECT_EQ(panel.codeButton()->isVisible(), !r.waiting) << r.n;
  }
  panel.setPhoneNumber("");
  EXPECT_EQ(panel.subTitle2()->text(), text("验证手机号") + " ");
  panel.setPhoneNumber("13800000000");
  EXPECT_EQ(panel.subTitle2()->text(), text("验证手机号") + " 13800000000");
  EXPECT_TRUE(panel.subTitle1()->text().contains('\n'));
  EXPECT_FALSE(panel.logoView()->isVisible());
  ASSERT_TRUE(panel.registerButton()->hyperlinkInfos());
  EXPECT_EQ(panel.registerButton()->hyperlinkInfos()->front().url,
            "http://www.brand.test/#register");
}

}  // namespace
