// The older window generation end to end under Xvfb, over the production older service layer and
// the real filter: the filter suite's scene (namespaces, relay on two entrance addresses, echo
// servers, test games), the older-service stand-in answering start-up, code request, sign-in,
// rules, heartbeats and the end of acceleration, and a web stand-in serving the feedback page.
// Welcome -> login (phone and code typed) -> main window; start loads tamseld through zandrel,
// the listed game's echo crosses the relay, a speed tick shows the totals, a heartbeat's limits
// and new entrance reach the filter, stop reports the flow and leaves nothing; the feedback page
// named by the end-of-acceleration answer switches the main window's tab.
//
// main() moves the process into the scene's client namespace before QApplication (or anything
// else) starts a thread, so every thread of the client lives there with tamseld.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <set>

#include "OlderTestSupport.h"
#include "Scene.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "app/Legacy/OlderWebWindow.h"
#include "app/WebTestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/TsStringHelper.h"
#include "gelmora/Service/Tools/Utils.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "platform/dispatch/Clock.h"
#include "standin/HttpStandin.h"
#include "standin/OlderService.h"
#include "standin/WebStandin.h"
#include "systest/FilterControllerSetup.h"
#include "systest/Systest.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Legacy/LegacyContext.h"
#include "ui/Legacy/LegacySheets.h"
#include "ui/Legacy/LegacyWindows.h"
#include "ui/Legacy/LoginWindow.h"
#include "ui/Legacy/MainWindow.h"
#include "ui/Legacy/WelcomeWindow.h"

using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

tsl::Scene* gScene = nullptr;
std::string gWhyNot;

constexpr int kFlowId = 5002;
constexpr char kNewEntrance[] = "198.51.100.253";
const std::string kUdpEcho = std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);

// The leading number of a figure such as "2.86 MB" or "20.00 Kb/s".
double figure(const QString& text) { return text.section(' ', 0, 0).toDouble(); }

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

void save(QWidget* w, const char* name) {
  QCoreApplication::processEvents();
  const QImage shot = w->grab().toImage();
  QDir().mkpath(screenshotDir());
  EXPECT_TRUE(shot.save(screenshotDir() + "/" + name));
  std::set<QRgb> colours;
  for (int y = 0; y < shot.height(); y += 3)
    for (int x = 0; x < shot.width(); x += 3) colours.insert(shot.pixel(x, y));
  EXPECT_GT(colours.size(), 20u) << name;
}

class OlderWindowsKextE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gScene) GTEST_SKIP() << gWhyNot;
    setup = std::make_unique<systest::FilterControllerSetup>(*gScene, tsl::gameRuleList(kFlowId));
    ASSERT_EQ(setup->error(), "");
    standin::WebStandin::addDirectory(web, STANDIN_WEB_PAGES);
    ASSERT_TRUE(web.start());
    gelmora::ui::UiTiming::setScale(0.01);
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(10));
    gelmora::ui::LoginWindow::resetVerificationTimes();

    gelmora::ui::registerOlderWindows(screens);
    gelmora::app::registerOlderWebWindows(screens);
    screens.webWindow.set([this](const gelmora::ui::WebWindowRequest& r) {
      webPages.push_back(r.url);
      return std::unique_ptr<gelmora::ui::WebWindowHandle>();
    });
    gelmora::app::installFeedbackHook();
    ctx.services = nullptr;  // the production older service layer
    ctx.sheets = &sheets;
    ctx.urls = &urls;
    ctx.clipboard = &clip;
    ctx.process = &process;
    ctx.screens = &screens;
    ctx.clock = clock.shared();

    auto& s = service();
    // The older pages' host: the web stand-in, named by the start-up answer.
    s.setAnswer("/q5client/parameters/startup",
                json{{"code", 0},
                     {"info", "ok"},
                     {"data", {{"outdated", 0}, {"domain_list", {web.baseUrl()}}}}});
    s.setAnswer("/q5client/phone/verify-code", json{{"code", 0}, {"info", "ok"}, {"data", {}}});
    s.setAnswer("/q5client/user/login", json{{"code", 0},
                                             {"info", "ok"},
                                             {"data",
                                              {{"token", "tok-e2e"},
                                               {"username", "13800138000"},
                                               {"uid", 31},
                                               {"package_name", "黄金套餐"},
                                               {"expire_date", "2027-06-30"},
                                               {"formatted_rest_traffic", "35.20G"},
                                               {"route", "华东专线"},
                                               {"bandwidth", "20M"},
                                               {"expired_and_pause_status", 0}}}});
    // Every heartbeat carries limits and a second entrance; both apply only while accelerating.
    s.setAnswer("/q5client/user/heartbeat",
                json{{"code", 0},
                     {"info", "ok"},
                     {"data",
                      {{"route", "华南专线"},
                       {"up_stream_limit", 10},
                       {"down_stream_limit", 20},
                       {"entrance", {{{"ip", kNewEntrance}, {"ports", {tsl::kEntrancePort}}}}}}}});
    s.setAnswer("/q5client/speed/end",
                json{{"code", 0},
                     {"info", "ok"},
                     {"data", {{"feedback", web.baseUrl() + "/older/feedback"}}}});
    s.setAnswer("/q5client/user/logout", json{{"code", 0}, {"info", "ok"}, {"data", {}}});
  }

  void TearDown() override {
    TsHttpHelper::setFeedbackHook({});
    welcome.reset();
    if (!gScene) return;
    gScene->unload();
    web.stop();
    setup.reset();
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(15));
    gelmora::ui::UiTiming::setScale(1);
  }

  standin::OlderService& service() { return setup->service(); }
  size_t requests(const std::string& path) { return service().requests(path).size(); }

  // Processes events and lets virtual time run at about twice real time until `done` holds.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return done();
      QTest::qWait(5);
      if (done()) break;
      clock.advance(10ms);
    }
    return true;
  }
  // Processes events; no virtual time passes.
  bool settle(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return done();
      QTest::qWait(5);
    }
    return true;
  }
  json stats() const { return json::parse(gScene->admin("stats"), nullptr, false); }

  ConsoleCapture console;
  std::unique_ptr<systest::FilterControllerSetup> setup;
  standin::HttpStandin web;
  platform::dispatch::ScopedVirtualClock clock;
  gelmora::ui::RecordingLegacySheets sheets;
  gelmora::ui::RecordingUrlOpener urls;
  gelmora::ui::RecordingClipboard clip;
  gelmora::ui::RecordingProcessControl process;
  gelmora::ui::ScreenRegistry screens;
  std::vector<std::string> webPages;
  gelmora::ui::LegacyContext ctx;
  std::unique_ptr<gelmora::ui::WelcomeWindow> welcome;
};

TEST_F(OlderWindowsKextE2E, SignInStartCarryHeartbeatStopAndFeedbackPage) {
  // Welcome: start-up answered, no stored token -> the login window.
  TsParamsDirectory::setValue("login_token", std::string());
  welcome = std::make_unique<gelmora::ui::WelcomeWindow>(ctx);
  welcome->show();
  ASSERT_TRUE(runUntil([&] { return welcome->loginWindow() != nullptr; }));
  EXPECT_EQ(requests("/q5client/parameters/startup"), 1u);
  auto* login = static_cast<gelmora::ui::LoginWindow*>(welcome->loginWindow());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(login));

  // Phone typed, code asked for, code typed, sign-in.
  auto* phone = login->findChild<QLineEdit*>("labelPhoneNumber");
  auto* code = login->findChild<QLineEdit*>("labelVerification");
  ASSERT_TRUE(phone && code);
  QTest::keyClicks(login->findChild<QLineEdit*>("labelCountrycode"), "86");
  QTest::keyClicks(phone, "13800138000");
  QTest::mouseClick(login->findChild<QPushButton*>("btnGetVerification"), Qt::LeftButton);
  ASSERT_TRUE(settle([&] { return login->countdownRunning(); }))
      << (sheets.shown.empty() ? "" : sheets.shown.back().sheet.info.toStdString());
  ASSERT_EQ(requests("/q5client/phone/verify-code"), 1u);
  auto verify = service().lastRequest("/q5client/phone/verify-code");
  ASSERT_TRUE(verify && verify->payload);
  EXPECT_NE(verify->payload->find("13800138000"), std::string::npos) << *verify->payload;
  QTest::keyClicks(code, "246810");
  QTest::mouseClick(login->findChild<QPushButton*>("btnLogin"), Qt::LeftButton);
  ASSERT_TRUE(settle([&] { return login->mainWindow() != nullptr; }))
      << (sheets.shown.empty() ? "" : sheets.shown.back().sheet.info.toStdString());
  auto signIn = service().lastRequest("/q5client/user/login");
  ASSERT_TRUE(signIn && signIn->payload);
  EXPECT_NE(signIn->payload->find("246810"), std::string::npos) << *signIn->payload;

  // The main window shows the reply's values.
  auto* main = static_cast<gelmora::ui::MainWindow*>(login->mainWindow());
  ASSERT_EQ(gelmora::ui::MainWindow::Main(), main);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main));
  auto text = [&](const char* name) { return main->findChild<QLabel*>(name)->text(); };
  EXPECT_EQ(text("labelUserName").toStdString(),
            "13800138000(" + TsStringHelper::mixUid(json(31)) + ")");
  EXPECT_EQ(text("labelPacketLevel"), QStringLiteral("黄金套餐"));
  EXPECT_EQ(text("labelLastFlowSize"), "35.20G");
  EXPECT_EQ(text("labelLineLevel"), QStringLiteral("华东专线"));
  EXPECT_EQ(text("labelSpeed"), "20M");
  EXPECT_EQ(main->currentTab(), "speed_normal");
  const size_t beatsBefore = requests("/q5client/user/heartbeat");

  // Start: zandrel loads tamseld, the rules reach it, the entrance is probed; progress climbs to
  // 100 in steps of 5, then state 3 and the speed tab.
  QTest::mouseClick(main->findChild<QPushButton*>("btnStartspeed"), Qt::LeftButton);
  int highest = 0, shownHighest = 0;
  bool stepsOf5 = true;
  ASSERT_TRUE(runUntil([&] {
    highest = std::max(highest, main->state().speedProgress.load());
    const int shown = text("labelSpeedProgress").toInt();
    stepsOf5 = stepsOf5 && shown % 5 == 0 && shown <= 100;
    shownHighest = std::max(shownHighest, shown);
    return main->state().speedState == 3 && main->currentTab() == "speed_sucessful";
  })) << "state "
      << main->state().speedState << " progress " << highest << "\n"
      << gScene->admin("stats") << "\n"
      << (sheets.shown.empty() ? "" : sheets.shown.back().sheet.info.toStdString());
  EXPECT_EQ(highest, 100);
  EXPECT_TRUE(stepsOf5);
  // The shown figure trails the target by 5 a tick and stops at success.
  EXPECT_GT(shownHighest, 0);
  EXPECT_TRUE(sheets.shown.empty()) << sheets.shown.front().sheet.info.toStdString();
  const auto pid = gScene->tamseldPid();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(Utils::existKEXT());
  auto s = stats();
  ASSERT_TRUE(s.is_object());
  EXPECT_EQ(s["attached"], 1);
  EXPECT_EQ(s["vni"], kFlowId);
  EXPECT_EQ(s["lists"]["white_rule"], 1);
  size_t portProbes = 0;
  for (const auto& f : gScene->relayFrames()) portProbes += f.incoming && f.type == 100;
  EXPECT_GE(portProbes, 1u);

  // The listed game's echo goes out through the relay in 400 frames and comes back in 401s.
  auto game = gScene->game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(game.status, 0) << game.output;
  size_t out = 0, back = 0;
  for (const auto& f : gScene->relayFrames()) {
    out += f.incoming && f.type == 400 && f.decoded && f.flowId == static_cast<uint32_t>(kFlowId);
    back += !f.incoming && f.type == 401;
  }
  EXPECT_GE(out, 1u);
  EXPECT_GE(back, 1u);

  // One speed tick shows the totals the filter reported.
  ASSERT_TRUE(settle([&] { return TsParams::getUpstreamlimit() > 0; }, 10s));
  clock.advance(1s);
  QCoreApplication::processEvents();
  EXPECT_GT(figure(text("labelUpFlowSize")), 0) << text("labelUpFlowSize").toStdString();
  EXPECT_GT(figure(text("labelDownFlowSoze")), 0) << text("labelDownFlowSoze").toStdString();
  save(main, "older-e2e-running.png");

  // The 120 s heartbeat: its limits (4031) and its new entrance (4032) reach the filter.
  clock.advance(120s);
  ASSERT_TRUE(settle([&] {
    auto st = stats();
    return st.is_object() && st["stream_limit"] == (10u << 16 | 20u) &&
           st["entrance_update"] ==
               std::string(kNewEntrance) + ":" + std::to_string(tsl::kEntrancePort);
  })) << gScene->admin("stats");
  EXPECT_GT(requests("/q5client/user/heartbeat"), beatsBefore);
  EXPECT_TRUE(settle([&] { return text("labelLineLevel") == QStringLiteral("华南专线"); }));

  // Stop by the control: state 1 and the start tab at once; the end is reported with the flow
  // id; tamseld ends and nothing of the filter is left.
  QTest::mouseClick(main->findChild<QPushButton*>("btnStopSpeed"), Qt::LeftButton);
  EXPECT_EQ(main->state().speedState.load(), 1);
  EXPECT_EQ(main->currentTab(), "speed_normal");
  main->startSequence().drain();
  auto end = service().lastRequest("/q5client/speed/end");
  ASSERT_TRUE(end && end->payload);
  EXPECT_NE(end->payload->find("flow_id=" + std::to_string(kFlowId)), std::string::npos)
      << *end->payload;
  EXPECT_TRUE(systest::waitFor([&] { return ::kill(*pid, 0) != 0; }, 5s)) << "tamseld still runs";
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_FALSE(Utils::existKEXT());
  const auto& cli = gScene->cli();
  EXPECT_EQ(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");
  EXPECT_FALSE(cli.ok("ip link show tamsel0 2>/dev/null"));
  EXPECT_EQ(systest::sh("ls -A " + gScene->runDir()).output, "");

  // The end answer named a feedback page: FeedBackB shows it; its "SwitchSpeedView" brings the
  // main window back to the start tab and closes the feedback window.
  gelmora::app::OlderWebWindow* feedback = nullptr;
  ASSERT_TRUE(settle([&] {
    feedback = gelmora::app::keptFeedBackB();
    return feedback && feedback->isVisible();
  }));
  EXPECT_EQ(feedback->address().toStdString(), web.baseUrl() + "/older/feedback");
  // The page's own title once its script has run.
  ASSERT_TRUE(settle([&] { return feedback->page()->title() == QStringLiteral("意见反馈"); }, 30s))
      << feedback->page()->title().toStdString();
  EXPECT_EQ(feedback->windowTitle(), QStringLiteral("意见反馈"));
  // Once the page has drawn (its own background below the title bar).
  EXPECT_TRUE(settle([&] {
    const QColor c =
        feedback->grab().toImage().pixelColor(feedback->width() / 2, feedback->height() - 40);
    return c == QColor(0x2a, 0x3a, 0x5a);
  }));
  save(feedback, "older-e2e-feedbackb.png");
  main->OnLeftMineClick();
  ASSERT_EQ(main->currentTab(), "userinfo");
  gelmora::app::test::run(feedback->page(), "switchSpeedView(); 'ok'");
  ASSERT_TRUE(settle([&] { return main->currentTab() == "speed_normal"; }));
  EXPECT_TRUE(settle([&] { return !feedback->isVisible(); }));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Into the client namespace before any thread exists.
  static tsl::Scene scene;
  std::unique_ptr<systest::Netns::Enter> inside;
  gWhyNot = systest::skipReason();
  if (gWhyNot.empty()) {
    std::string why;
    tsl::SceneOptions options;
    options.moreEntrances = {kNewEntrance};
    if (!scene.setUp(&why, options)) {
      gWhyNot = "scene: " + why;
    } else {
      inside = std::make_unique<systest::Netns::Enter>(scene.cli());
      if (inside->entered()) {
        gScene = &scene;
      } else {
        gWhyNot = "cannot enter the client namespace";
      }
    }
  }
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  gelmora::ui::L10n::installTable("en");
  const int result = RUN_ALL_TESTS();
  queue->close();
  inside.reset();
  return result;
}
