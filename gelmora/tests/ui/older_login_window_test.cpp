// The older login window with scripted older services: checks in order, the count-down, the
// picture-code form, sign-in outcomes, a code request that blocks without blocking the window.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "LegacyUiTestSupport.h"
#include "ui/Legacy/LoginWindow.h"

namespace gelmora::ui::test {
namespace {

using F = FakeLegacyServices;
using json = nlohmann::json;

class OlderLoginWindowTest : public LegacyUiTest {
 protected:
  OlderLoginWindowTest() { LoginWindow::resetVerificationTimes(); }
  QLineEdit* edit(LoginWindow& w, const QString& name) { return w.findChild<QLineEdit*>(name); }
  void fill(LoginWindow& w, const QString& p, const std::string& cc, const std::string& phone,
            const std::string& code) {
    edit(w, p + "labelCountrycode")->setText(QString::fromStdString(cc));
    edit(w, p + "labelPhoneNumber")->setText(QString::fromStdString(phone));
    edit(w, p + "labelVerification")->setText(QString::fromStdString(code));
  }
  // One successful code request, count-down run to its end.
  void requestCode(LoginWindow& w) {
    size_t before = services.count("Verification");
    w.OnGetVerificationClick();
    ASSERT_TRUE(settle([&] { return w.countdownRunning(); }));
    ASSERT_EQ(services.count("Verification"), static_cast<int>(before) + 1);
    advance(std::chrono::seconds(60));
    ASSERT_FALSE(w.countdownRunning());
  }
};

TEST_F(OlderLoginWindowTest, OpensWithStoredValues) {
  TsParamsDirectory::setValue("phone", std::string("13800000000"));
  LoginWindow w(ctx);
  EXPECT_EQ(edit(w, "labelCountrycode")->text(), "+86");  // the store's default
  EXPECT_EQ(edit(w, "labelPhoneNumber")->text(), "13800000000");
  EXPECT_EQ(w.loginType(), 1);
}

TEST_F(OlderLoginWindowTest, CodeRequestChecksInOrder) {
  LoginWindow w(ctx);
  struct Case {
    std::string cc, phone;
    QString info;
  };
  std::vector<Case> cases = {{"", "", QStringLiteral("国家区号不能为空")},
                             {"+86", "", QStringLiteral("手机号不能为空")},
                             {"+86", "138 000", QStringLiteral("请输入合法的手机号")},
                             {"+86", "+86138", QStringLiteral("请输入合法的手机号")}};
  for (const auto& c : cases) {
    fill(w, "", c.cc, c.phone, "");
    w.OnGetVerificationClick();
    ASSERT_NE(lastSheet(), nullptr);
    EXPECT_EQ(lastSheet()->message, QStringLiteral("获取验证码失败"));
    EXPECT_EQ(lastSheet()->info, c.info);
  }
  EXPECT_EQ(services.count("Verification"), 0);

  // Failed requests: with the error's text, or the fixed one.
  fill(w, "", "+86", "13800", "");
  services.script("Verification", {F::failure("发送太频繁"), F::no()});
  w.OnGetVerificationClick();
  ASSERT_TRUE(settle([&] { return sheets.shown.size() == 5; }));
  EXPECT_EQ(lastSheet()->info, QStringLiteral("发送太频繁"));
  w.OnGetVerificationClick();
  ASSERT_TRUE(settle([&] { return sheets.shown.size() == 6; }));
  EXPECT_EQ(lastSheet()->info, QStringLiteral("验证码发送失败，查看本地网络连接是否正常"));
  EXPECT_EQ(LoginWindow::getVerificationTimes(), 0);
  EXPECT_FALSE(w.countdownRunning());
}

TEST_F(OlderLoginWindowTest, CountdownFromSixtyToOne) {
  LoginWindow w(ctx);
  fill(w, "", "+86", "13800", "");
  w.OnGetVerificationClick();
  ASSERT_TRUE(settle([&] { return w.countdownRunning(); }));
  auto* label = w.findChild<QLabel*>("labelGetVerification");
  auto* normal = w.findChild<QWidget*>("boxNormalVerification");
  EXPECT_EQ(label->text(), "60s");
  EXPECT_TRUE(normal->isHidden());
  std::vector<QString> seen;
  for (int i = 0; i < 59; ++i) {
    advance(std::chrono::seconds(1));
    seen.push_back(label->text());
  }
  EXPECT_EQ(seen.front(), "59s");
  EXPECT_EQ(seen.back(), "1s");
  EXPECT_TRUE(normal->isHidden());
  advance(std::chrono::seconds(1));  // the 60th tick ends it
  EXPECT_FALSE(normal->isHidden());
  EXPECT_FALSE(w.countdownRunning());
  EXPECT_EQ(LoginWindow::getVerificationTimes(), 1);
}

TEST_F(OlderLoginWindowTest, TheFourthRequestSwitchesToThePictureForm) {
  LoginWindow w(ctx);
  fill(w, "", "+86", "13800", "12");
  for (int i = 0; i < 3; ++i) requestCode(w);
  w.OnGetVerificationClick();  // switches, sends nothing
  EXPECT_EQ(w.loginType(), 2);
  EXPECT_EQ(services.count("Verification"), 3);
  EXPECT_EQ(edit(w, "B_labelPhoneNumber")->text(), "13800");
  EXPECT_EQ(edit(w, "B_labelVerification")->text(), "12");
  EXPECT_EQ(w.pictureCode().size(), 6);
  // Wrong picture entry (checked before the empty SMS code): a new picture code.
  QString first = w.pictureCode();
  edit(w, "labelImageVerification")->setText("x");
  edit(w, "B_labelVerification")->setText("");
  w.OnLoginClick();
  EXPECT_EQ(lastSheet()->info, QStringLiteral("图形验证码输入错误"));
  EXPECT_NE(w.pictureCode(), first);
  edit(w, "labelImageVerification")->setText(w.pictureCode());
  w.OnGetVerificationClick();
  ASSERT_TRUE(settle([&] { return services.count("Verification") == 4; }));
  // A later window opens on form 2 at once.
  LoginWindow second(ctx);
  EXPECT_EQ(second.loginType(), 2);
}

TEST_F(OlderLoginWindowTest, SignInChecksInOrder) {
  LoginWindow w(ctx);
  struct Case {
    std::string cc, phone, code;
    QString info;
  };
  std::vector<Case> cases = {{"", "1", "1", QStringLiteral("国家区号不能为空")},
                             {"+86", "", "1", QStringLiteral("手机号不能为空")},
                             {"+86", "1", "", QStringLiteral("验证码不能为空")},
                             {"+86", "1 2", "1", QStringLiteral("请输入合法的手机号")}};
  for (const auto& c : cases) {
    fill(w, "", c.cc, c.phone, c.code);
    w.OnLoginClick();
    EXPECT_EQ(lastSheet()->message, QStringLiteral("登录失败"));
    EXPECT_EQ(lastSheet()->info, c.info);
  }
  EXPECT_EQ(services.count("loginWithVerification"), 0);
}

TEST_F(OlderLoginWindowTest, SignInOutcomes) {
  // An error gives the control back.
  {
    LoginWindow w(ctx);
    services.script("loginWithVerification", {F::failure("网络不通")});
    fill(w, "", "+86", "13800", "1234");
    w.OnLoginClick();
    EXPECT_EQ(w.findChild<QLabel*>("labelLogin")->text(), QStringLiteral("正 在 登 录 ..."));
    EXPECT_FALSE(w.findChild<QPushButton*>("btnLogin")->isEnabled());
    ASSERT_TRUE(settle([&] { return !sheets.shown.empty(); }));
    EXPECT_EQ(lastSheet()->info, QStringLiteral("网络不通"));
    EXPECT_TRUE(w.findChild<QPushButton*>("btnLogin")->isEnabled());
    EXPECT_EQ(w.findChild<QLabel*>("labelLogin")->text(), QStringLiteral("注册 / 登录"));
  }
  // 107: alert, then the window closes; the control stays disabled.
  {
    FakeLegacyServices fake;
    fake.script("loginWithVerification", {F::reply({{"code", 107}, {"info", "账号已冻结"}})});
    LegacyContext local = ctx;
    local.services = &fake;
    RecordingLegacySheets shown;
    local.sheets = &shown;
    LoginWindow w(local);
    w.show();
    fill(w, "", "+86", "13800", "1234");
    w.OnLoginClick();
    ASSERT_TRUE(settle([&] { return !shown.shown.empty(); }));
    EXPECT_EQ(shown.shown[0].sheet.info, QStringLiteral("账号已冻结"));
    EXPECT_TRUE(w.isVisible());
    shown.answer(0);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.findChild<QPushButton*>("btnLogin")->isEnabled());
    EXPECT_EQ(w.mainWindow(), nullptr);
  }
  // Any other code: stored, count-down stopped, main window shown.
  {
    json reply = {{"code", 3}, {"data", {{"token", "tk-1"}, {"username", "u"}}}};
    FakeLegacyServices fake;
    fake.script("loginWithVerification", {F::reply(reply)});
    LegacyContext local = ctx;
    local.services = &fake;
    LoginWindow w(local);
    w.show();
    fill(w, "", "+1", "5550100", "9999");
    w.OnGetVerificationClick();
    ASSERT_TRUE(settle([&] { return w.countdownRunning(); }));
    w.OnLoginClick();
    ASSERT_TRUE(settle([&] { return w.mainWindow() != nullptr; }));
    EXPECT_EQ(fake.argumentLog().back(), "loginWithVerification:5550100,+1,9999");
    EXPECT_EQ(stored("phone"), "5550100");
    EXPECT_EQ(stored("country_code"), "+1");
    EXPECT_EQ(stored("login_token"), "tk-1");
    EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("login_data"), reply);
    EXPECT_FALSE(w.countdownRunning());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.mainWindow()->objectName(), "MainWindow");
    EXPECT_TRUE(w.mainWindow()->isVisible());
  }
}

TEST_F(OlderLoginWindowTest, EventsFlowWhileTheCodeRequestBlocks) {
  LoginWindow w(ctx);
  w.show();
  fill(w, "", "+86", "13800", "");
  services.hold("Verification");
  w.OnGetVerificationClick();
  ASSERT_TRUE(services.waitHeld("Verification"));
  auto* button = w.findChild<QPushButton*>("btnGetVerification");
  EXPECT_FALSE(button->isEnabled());
  // The window still answers: a posted task runs and typing reaches the field.
  bool ran = false;
  QMetaObject::invokeMethod(
      &w, [&] { ran = true; }, Qt::QueuedConnection);
  QTest::keyClicks(edit(w, "labelVerification"), "42");
  ASSERT_TRUE(settle([&] { return ran; }));
  EXPECT_EQ(edit(w, "labelVerification")->text(), "42");
  services.release("Verification");
  ASSERT_TRUE(settle([&] { return w.countdownRunning(); }));
  EXPECT_TRUE(button->isEnabled());
}

}  // namespace
}  // namespace gelmora::ui::test
