// The older main window with scripted older services: closing, going back to sign-in, the
// account panel, page tokens, pop-ups and quitting.
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "LegacyUiTestSupport.h"
#include "gelmora/Legacy/LegacyPageCommands.h"
#include "ui/Legacy/MainWindow.h"

namespace gelmora::ui::test {
namespace {

using F = FakeLegacyServices;
using json = nlohmann::json;

class OlderMainWindowTest : public LegacyUiTest {
 protected:
  std::unique_ptr<MainWindow> open() {
    auto w = std::make_unique<MainWindow>(ctx);
    w->show();
    return w;
  }
  QString text(MainWindow& w, const char* name) { return w.findChild<QLabel*>(name)->text(); }
  bool visible(MainWindow& w, const char* name) { return !w.findChild<QFrame*>(name)->isHidden(); }
};

// Runs first: no main window has loaded in this process yet.
TEST_F(OlderMainWindowTest, WithoutAMainWindowPageCommandsOnlyClose) {
  ASSERT_EQ(MainWindow::Main(), nullptr);
  auto r = LegacyPageCommands::dispatch(LegacyWebVariant::FeedBackB, "SwitchSpeedView", "",
                                        MainWindow::Main());
  EXPECT_TRUE(r.close);
  r = LegacyPageCommands::dispatch(LegacyWebVariant::FeedBackB, "SetClipboard", "x",
                                   MainWindow::Main());
  EXPECT_FALSE(r.close);
  EXPECT_TRUE(clip.contents.empty());
}

TEST_F(OlderMainWindowTest, OpeningShowsTheStoredSignInAndItsPopup) {
  TsParamsDirectory::setNSDictionaryValue("login_data", json{{"code", 0},
                                                             {"data",
                                                              {{"username", "玩家"},
                                                               {"uid", 1234},
                                                               {"package_name", "黄金套餐"},
                                                               {"pop", 1},
                                                               {"pop_content", "欢迎回来"}}}});
  auto w = open();
  EXPECT_EQ(MainWindow::Main(), w.get());
  EXPECT_TRUE(text(*w, "labelUserName").startsWith(QStringLiteral("玩家(")));
  EXPECT_EQ(text(*w, "labelPacketLevel"), QStringLiteral("黄金套餐"));
  EXPECT_TRUE(text(*w, "labelVersion").startsWith("v "));
  EXPECT_EQ(w->state().speedState, 1);
  EXPECT_EQ(w->currentPicture(), "live.png");
  ASSERT_TRUE(settle([&] { return sheets.shown.size() == 1; }));
  EXPECT_EQ(sheets.shown[0].sheet.info, QStringLiteral("欢迎回来"));
  // The picture cycle: every 3 s the next name.
  advance(std::chrono::seconds(3));
  EXPECT_EQ(w->currentPicture(), "music.png");
  EXPECT_TRUE(w->heartbeat().timerRunning());
  EXPECT_EQ(services.reportedLines().front(), "登录成功");
}

TEST_F(OlderMainWindowTest, UpdatePacketContentTable) {
  auto w = open();
  struct Case {
    const char* name;
    json data;
    int status;
    bool low, time, flow;
  };
  // Each row starts from the previous row's notices.
  std::vector<Case> cases = {
      {"status 2", {{"expired_and_pause_status", 2}}, 2, true, true, false},
      {"status 1 keeps", {{"expired_and_pause_status", 1}}, 1, true, true, false},
      {"status 3", {{"expired_and_pause_status", "3"}}, 3, true, false, true},
      {"status 0", {{"expired_and_pause_status", 0}}, 0, false, false, false},
      {"status of the wrong kind", {{"expired_and_pause_status", {1}}}, 0, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    w->updatePacketContent(json{{"data", c.data}});
    EXPECT_EQ(w->state().userStatus, c.status);
    EXPECT_EQ(visible(*w, "boxLowSpeed"), c.low);
    EXPECT_EQ(visible(*w, "boxAddTime"), c.time);
    EXPECT_EQ(visible(*w, "boxAddFlowSize"), c.flow);
  }
  // A name without uid leaves the label; the other keys still apply; numbers become text.
  QString before = text(*w, "labelUserName");
  w->updatePacketContent(json{{"data",
                               {{"username", "x"},
                                {"bandwidth", 20},
                                {"expire_date", "2027-05-01"},
                                {"formatted_rest_traffic", "9.5G"},
                                {"route", "华东"},
                                {"traffic_info", {{"info", {{"unit", "G"}}}}}}}});
  EXPECT_EQ(text(*w, "labelUserName"), before);
  EXPECT_EQ(text(*w, "labelSpeed"), "20");
  EXPECT_EQ(text(*w, "labelLastTimeA"), "2027-05-01");
  EXPECT_EQ(text(*w, "labelLastTimeB"), "2027-05-01");
  EXPECT_EQ(text(*w, "labelLastFlowSize"), "9.5G");
  EXPECT_EQ(text(*w, "labelLineLevel"), QStringLiteral("华东"));
  EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("flow_detail"),
            (json{{"info", {{"unit", "G"}}}}));
  // Without "data", nothing changes.
  w->updatePacketContent(json{{"code", 0}});
  EXPECT_EQ(text(*w, "labelSpeed"), "20");
}

struct CloseCase {
  int state;
  int button;  // 0 "确定", 1 "返回"
  QString message;
  int buttons;
  bool quits;
};

TEST_F(OlderMainWindowTest, CloseTable) {
  std::vector<CloseCase> cases = {
      {1, 0, QStringLiteral("关闭加速器后将无法加速，确认退出吗？"), 2, true},
      {1, 1, QStringLiteral("关闭加速器后将无法加速，确认退出吗？"), 2, false},
      {2, 0, QStringLiteral("正在启动加速，请稍后退出"), 1, false},
      {3, 0, QStringLiteral("正在加速中，关闭加速器后将无法加速，确认退出吗？"), 2, true},
      {3, 1, QStringLiteral("正在加速中，关闭加速器后将无法加速，确认退出吗？"), 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state * 10 + c.button);
    FakeLegacyServices fake;
    RecordingProcessControl exits;
    RecordingLegacySheets shown;
    LegacyContext local = ctx;
    local.services = &fake;
    local.process = &exits;
    local.sheets = &shown;
    MainWindow w(local);
    w.show();
    w.mutableState().speedState = c.state;
    w.close();
    EXPECT_TRUE(w.isVisible());  // never closes by its button
    ASSERT_EQ(shown.shown.size(), 1u);
    EXPECT_EQ(shown.shown[0].sheet.message, c.message);
    EXPECT_EQ(shown.shown[0].sheet.info, QStringLiteral("如想最小化窗体，请点最小化按钮"));
    EXPECT_EQ(shown.shown[0].sheet.buttons.size(), c.buttons);
    shown.answer(0, c.button);
    // No virtual time passes: the exit comes from the ended sign-out (and stop report).
    ASSERT_TRUE(settle([&] { return !c.quits || !exits.exits.empty(); }));
    settle([] { return true; });
    EXPECT_EQ(exits.exits, c.quits ? std::vector<int>{0} : std::vector<int>{});
    EXPECT_EQ(fake.count("logout"), c.quits ? 1 : 0);
    EXPECT_EQ(fake.count("stopSpeed"), c.quits && c.state == 3 ? 1 : 0);
    EXPECT_EQ(fake.count("unloadMessagePipe"), c.quits && c.state == 3 ? 1 : 0);
  }
}

TEST_F(OlderMainWindowTest, QuitExitsWhenASlowSignOutEndsOrAtThreeSeconds) {
  for (bool slowerThanLimit : {false, true}) {
    SCOPED_TRACE(slowerThanLimit);
    FakeLegacyServices fake;
    RecordingProcessControl exits;
    LegacyContext local = ctx;
    local.services = &fake;
    local.process = &exits;
    MainWindow w(local);
    fake.hold("logout");
    w.quit(false);
    ASSERT_TRUE(fake.waitHeld("logout"));
    advance(std::chrono::milliseconds(1000));
    if (!slowerThanLimit) fake.release("logout");  // the sign-out took 1 s
    settle([&] { return !exits.exits.empty() || slowerThanLimit; });
    if (!slowerThanLimit) {
      EXPECT_EQ(exits.exits, std::vector<int>{0});
    } else {
      EXPECT_TRUE(exits.exits.empty());
      advance(std::chrono::milliseconds(1999));
      EXPECT_TRUE(exits.exits.empty());
      advance(std::chrono::milliseconds(1));
      EXPECT_EQ(exits.exits, std::vector<int>{0});
      fake.release("logout");
    }
    // The limit after an exit does not exit twice.
    advance(std::chrono::seconds(5));
    settle([] { return true; });
    EXPECT_EQ(exits.exits.size(), 1u);
  }
}

struct BackCase {
  int state;
  int button;
  bool sheet;
  bool toLogin;
};

TEST_F(OlderMainWindowTest, BackToLoginTable) {
  std::vector<BackCase> cases = {
      {1, 0, false, true}, {2, 0, true, false}, {3, 0, true, true}, {3, 1, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state * 10 + c.button);
    FakeLegacyServices fake;
    RecordingLegacySheets shown;
    LegacyContext local = ctx;
    local.services = &fake;
    local.sheets = &shown;
    TsParamsDirectory::setValue("login_token", std::string("tok"));
    MainWindow w(local);
    w.show();
    w.mutableState().speedState = c.state;
    w.OnBackLoginClick();
    ASSERT_EQ(shown.shown.size(), c.sheet ? 1u : 0u);
    if (c.sheet) {
      if (c.state == 2) {
        EXPECT_EQ(shown.shown[0].sheet.message, QStringLiteral("正在启动加速，请稍后退出"));
        EXPECT_EQ(shown.shown[0].sheet.buttons.size(), 1);
      } else {
        EXPECT_EQ(shown.shown[0].sheet.message,
                  QStringLiteral("正在加速中，退出账号将会停止加速后将停止加速，确认退出吗？"));
      }
      shown.answer(0, c.button);
    }
    settle([&] { return !c.toLogin || fake.count("logout") == 1; });
    EXPECT_EQ(w.loginWindow() != nullptr, c.toLogin);
    EXPECT_EQ(w.isVisible(), !c.toLogin);
    EXPECT_EQ(w.heartbeat().timerRunning(), !c.toLogin);
    EXPECT_EQ(stored("login_token"), c.toLogin ? "" : "tok");
    if (c.toLogin) {
      EXPECT_EQ(w.loginWindow()->objectName(), "LoginWindow");
    }
    EXPECT_EQ(fake.count("logout"), c.toLogin ? 1 : 0);
    EXPECT_EQ(w.state().speedState, c.toLogin ? 1 : c.state);
  }
}

TEST_F(OlderMainWindowTest, PageTokensAreExact) {
  auto w = open();
  struct Case {
    std::string token;
    QString title;
  };
  std::vector<Case> cases = {{"OpenFeedbackWindow", QStringLiteral("意见反馈")},
                             {"OpenRechargeWindow", QStringLiteral("立即充值")},
                             {"OpenQuestionWindow", QStringLiteral("问题百科")},
                             {"OpenMyOrderWindow", QStringLiteral("我的订单")},
                             {"OpenShareWindow", QStringLiteral("邀请好友")}};
  for (const auto& c : cases) {
    w->showWebWindow(c.token);
    ASSERT_TRUE(settle([&] { return !webRequests.empty(); }));
    EXPECT_EQ(webRequests.back().title, c.title);
    webRequests.clear();
  }
  w->showWebWindow("openfeedbackwindow");
  w->showWebWindow("OpenFeedbackWindow ");
  settle([] { return true; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(webRequests.empty());
  // The orders page: the address is stored for the older web window.
  w->OnMyOrderClick();
  EXPECT_EQ(stored("url_myprder"), webRequests.back().url);
  EXPECT_EQ(
      webRequests.back().url.rfind("http://older.test/account/order-list?is_pc=1&logincode=", 0),
      0u);
}

TEST_F(OlderMainWindowTest, PopupButtonsAndAccountException) {
  auto w = open();
  w->ShowMessageBoxOfPublic(
      json{{"code", 0},
           {"data",
            {{"pop", 1},
             {"buttons",
              {{{"action", "buy"}, {"text", "充值"}},
               {{"action", "http://go"}, {"text", "查看"}, {"url", "https://a.example/x"}}}}}}});
  ASSERT_TRUE(settle([&] { return sheets.shown.size() == 1; }));
  EXPECT_TRUE(sheets.shown[0].sheet.informational);
  EXPECT_EQ(sheets.shown[0].sheet.buttons,
            (QStringList{QStringLiteral("充值"), QStringLiteral("查看")}));
  sheets.answer(0, 1);
  EXPECT_EQ(urls.opened, std::vector<std::string>{"https://a.example/x"});
  sheets.shown[0].answered = false;
  sheets.answer(0, 0);
  ASSERT_EQ(webRequests.size(), 1u);
  EXPECT_EQ(webRequests[0].title, QStringLiteral("立即充值"));

  // Account exception while running: stop by code, heartbeat stopped, login after the sheet.
  w->mutableState().speedState = 3;
  w->ShowMessageBoxOfPublic(json{{"code", 101}});
  ASSERT_TRUE(settle([&] { return sheets.shown.size() == 2; }));
  EXPECT_EQ(sheets.shown[1].sheet.info, QStringLiteral("您的账户发生异常，请及时修改密码"));
  EXPECT_EQ(w->state().speedState, 1);
  EXPECT_FALSE(w->heartbeat().timerRunning());
  EXPECT_EQ(w->loginWindow(), nullptr);
  sheets.answer(1);
  EXPECT_NE(w->loginWindow(), nullptr);
  settle([&] { return services.count("stopSpeed") == 1; });
}

TEST_F(OlderMainWindowTest, PortOperationsAndFlowDetail) {
  auto w = open();
  w->setClipboard("复制");
  EXPECT_EQ(clip.contents, std::vector<std::string>{"复制"});
  w->showWebDialog("你好");
  ASSERT_TRUE(settle([&] { return !sheets.shown.empty(); }));
  EXPECT_EQ(sheets.shown.back().sheet.message, QStringLiteral("提示"));
  EXPECT_EQ(sheets.shown.back().sheet.info, QStringLiteral("你好"));
  w->OnLeftMineClick();
  EXPECT_EQ(w->currentTab(), "userinfo");
  w->switchSpeedView();
  ASSERT_TRUE(settle([&] { return w->currentTab() == "speed_normal"; }));
  // Share leaves the highlight as it was.
  w->OnLeftMineClick();
  w->OnLeftShareClick();
  EXPECT_FALSE(w->findChild<QFrame*>("boxLeftMine")->isHidden());
  // rechargeDone: one heartbeat 5.5 s later.
  w->rechargeDone();
  advance(std::chrono::milliseconds(5499));
  w->heartbeat().drain();
  EXPECT_EQ(services.count("heartBeat"), 0);
  advance(std::chrono::milliseconds(1));
  w->heartbeat().drain();
  EXPECT_EQ(services.count("heartBeat"), 1);
  // Traffic detail: B for status 2, else A.
  w->OnFlowDetailClick();
  ASSERT_NE(w->flowDetailWindow(), nullptr);
  EXPECT_EQ(w->flowDetailWindow()->objectName(), "FlowDetailA");
  w->updatePacketContent(json{{"data", {{"expired_and_pause_status", 2}}}});
  w->OnFlowDetailClick();
  EXPECT_EQ(w->flowDetailWindow()->objectName(), "FlowDetailB");
}

TEST_F(OlderMainWindowTest, StartAndStopThroughTheControls) {
  auto w = open();
  w->findChild<QPushButton*>("btnStartspeed")->click();
  ASSERT_TRUE(runUntil([&] { return !w->findChild<QPushButton*>("btnStartspeed")->isEnabled(); }));
  EXPECT_EQ(w->findChild<QLabel*>("labelStartspeedContent")->text(),
            QStringLiteral("正在启动加速 ..."));
  ASSERT_TRUE(runUntil([&] { return w->currentTab() == "speed_sucessful"; }));
  EXPECT_EQ(w->state().speedState, 3);
  w->findChild<QPushButton*>("btnStopSpeed")->click();
  EXPECT_EQ(w->state().speedState, 1);
  EXPECT_EQ(w->currentTab(), "speed_normal");
  ASSERT_TRUE(settle([&] { return services.count("stopSpeed") == 1; }));
}

}  // namespace
}  // namespace gelmora::ui::test
