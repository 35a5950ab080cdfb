// The older welcome window with scripted older services: host list, status text, the start-up
// reply's decisions, the token sign-in and the failure sheet's three answers.
#include <QLabel>

#include "LegacyUiTestSupport.h"
#include "ui/Legacy/WelcomeWindow.h"

namespace gelmora::ui::test {
namespace {

using F = FakeLegacyServices;
using json = nlohmann::json;

class WelcomeWindowTest : public LegacyUiTest {
 protected:
  std::unique_ptr<WelcomeWindow> open() {
    auto w = std::make_unique<WelcomeWindow>(ctx);
    w->show();
    return w;
  }
};

TEST_F(WelcomeWindowTest, HostListAndStatusText) {
  TsParamsDirectory::setNSDictionaryValue("domain_list", json::array({"h1.example", "h2.example"}));
  services.hold("startup");
  auto w = open();
  ASSERT_TRUE(services.waitHeld("startup"));
  auto hosts = services.domainList();
  EXPECT_EQ(hosts,
            (std::vector<std::string>{"h1.example", "h2.example", LegacyContext::fallbackHost(1),
                                      LegacyContext::fallbackHost(2)}));
  EXPECT_EQ(hosts.size(), 4u);
  auto* loading = w->findChild<QLabel*>("labelLoading");
  std::vector<QString> seen;
  for (int i = 0; i < 4; ++i) {
    advance(std::chrono::milliseconds(600));
    seen.push_back(loading->text());
  }
  EXPECT_EQ(seen,
            (std::vector<QString>{QStringLiteral("正在启动.."), QStringLiteral("正在启动..."),
                                  QStringLiteral("正在启动."), QStringLiteral("正在启动..")}));
  services.release("startup");
  ASSERT_TRUE(settle([&] { return w->loginWindow() != nullptr; }));
  advance(std::chrono::milliseconds(600));
  EXPECT_TRUE(loading->text().startsWith(QStringLiteral("自动登录")));
}

TEST_F(WelcomeWindowTest, StartupReplyDecisions) {
  // Outdated: no sign-in attempt whatever token is stored.
  {
    FakeLegacyServices fake;
    fake.script("startup", {F::reply({{"code", 0}, {"data", {{"outdated", 1}}}})});
    TsParamsDirectory::setValue("login_token", std::string("tok"));
    LegacyContext local = ctx;
    local.services = &fake;
    int updatesMade = 0;
    screens.olderUpdate.set([&](const LegacyContext&) -> QWidget* {
      ++updatesMade;
      return new QWidget;
    });
    WelcomeWindow w(local);
    w.show();
    ASSERT_TRUE(settle([&] { return w.updateAsked(); }));
    EXPECT_EQ(fake.count("autoLogin"), 0);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(updatesMade, 1);
    ASSERT_TRUE(w.updateWindow());
    EXPECT_TRUE(w.updateWindow()->isVisible());
    screens.olderUpdate.set({});
  }
  // Lists stored (an empty one leaves the stored list), no token: login window without alert.
  {
    FakeLegacyServices fake;
    TsParamsDirectory::setNSDictionaryValue("domain_list", json::array({"old.example"}));
    TsParamsDirectory::setValue("login_token", std::string());
    fake.script("startup", {F::reply({{"code", 0},
                                      {"data",
                                       {{"domain_list", json::array()},
                                        {"pay_domain_list", {"pay.example"}},
                                        {"outdated", 0}}}})});
    LegacyContext local = ctx;
    local.services = &fake;
    RecordingLegacySheets shown;
    local.sheets = &shown;
    WelcomeWindow w(local);
    w.show();
    ASSERT_TRUE(settle([&] { return w.loginWindow() != nullptr; }));
    EXPECT_TRUE(shown.shown.empty());
    EXPECT_EQ(fake.count("autoLogin"), 0);
    EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("domain_list"), json::array({"old.example"}));
    EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("pay_list"), json::array({"pay.example"}));
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.loginWindow()->isVisible());
  }
}

TEST_F(WelcomeWindowTest, TokenSignInOutcomes) {
  TsParamsDirectory::setValue("login_token", std::string("tok"));
  struct Case {
    const char* name;
    F::Outcome outcome;
    bool sheet;
    bool toMain, toLogin, closes;
  };
  json ok = {{"code", 0}, {"data", {{"token", "new-token"}}}};
  std::vector<Case> cases = {
      {"error", F::failure("超时"), true, false, true, false},
      {"107", F::reply({{"code", 107}, {"info", "请重新登录"}}), true, false, false, true},
      {"success", F::reply(ok), false, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsParamsDirectory::setValue("login_token", std::string("tok"));
    FakeLegacyServices fake;
    fake.script("autoLogin", {c.outcome});
    LegacyContext local = ctx;
    local.services = &fake;
    RecordingLegacySheets shown;
    local.sheets = &shown;
    WelcomeWindow w(local);
    w.show();
    ASSERT_TRUE(settle([&] { return !shown.shown.empty() || w.mainWindow(); }));
    EXPECT_EQ(fake.argumentLog().back(), "autoLogin:tok");
    if (c.sheet) {
      EXPECT_EQ(shown.shown[0].sheet.message, QStringLiteral("自动登录失败"));
      shown.answer(0);
    }
    EXPECT_EQ(w.mainWindow() != nullptr, c.toMain);
    EXPECT_EQ(w.loginWindow() != nullptr, c.toLogin);
    EXPECT_EQ(w.isVisible(), false);
    if (c.toMain) {
      EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("login_data"), ok);
      EXPECT_EQ(stored("login_token"), "new-token");
    }
  }
}

TEST_F(WelcomeWindowTest, FailedStartSheetAnswers) {
  int opened = 0;
  screens.olderWebWindow.set([&](const std::string& name) -> QWidget* {
    EXPECT_EQ(name, "Feedback");
    ++opened;
    auto* page = new QWidget;
    page->setObjectName(QString::fromStdString(name));
    return page;
  });
  for (int button : {0, 1, 2}) {
    SCOPED_TRACE(button);
    FakeLegacyServices fake;
    fake.script("startup", {F::failure("no route")});
    LegacyContext local = ctx;
    local.services = &fake;
    RecordingLegacySheets shown;
    local.sheets = &shown;
    WelcomeWindow w(local);
    w.show();
    ASSERT_TRUE(settle([&] { return !shown.shown.empty(); }));
    const auto& sheet = shown.shown[0].sheet;
    EXPECT_EQ(sheet.message, QStringLiteral("启动程序失败"));
    EXPECT_EQ(sheet.info, QStringLiteral("请求启动参数失败，请查看本地网络连接是否正常。"));
    EXPECT_EQ(sheet.buttons, (QStringList{QStringLiteral("意见反馈"), QStringLiteral("退出程序"),
                                          QStringLiteral("忽略")}));
    shown.answer(0, button);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.feedbackWindow() != nullptr, button == 0);
    EXPECT_EQ(w.loginWindow() != nullptr, button == 2);
    if (button == 0) {
      EXPECT_EQ(stored("url_feedback"), LegacyContext::supportChatURL());
    }
  }
  EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace gelmora::ui::test
