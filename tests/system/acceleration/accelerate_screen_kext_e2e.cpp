// The acceleration screen over the real filter-mode controller, end to end under Xvfb: the
// filter suite's scene (namespaces, relay, echo servers, test games), the older service, account,
// geo and web stand-ins behind one front address, a signed-in user with a chosen line. A click
// starts, the looks are saved as screenshots and probed, the listed game's echo travels through
// the relay, a second click stops and nothing of the filter is left.
//
// main() moves the process into the scene's client namespace before QApplication (or anything
// else) starts a thread, so every thread of the client lives there with tamseld.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QDir>
#include <QTest>
#include <chrono>
#include <filesystem>

#include "OlderTestSupport.h"
#include "Scene.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Services/TsfetchIPService.h"
#include "standin/AccountServer.h"
#include "standin/FrontStandin.h"
#include "standin/GeoStandin.h"
#include "standin/WebStandin.h"
#include "systest/FilterControllerSetup.h"
#include "systest/Systest.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Accelerate/TsAccelerateViewController.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using V = TsAccelerateView;

namespace {

tsl::Scene* gScene = nullptr;
std::string gWhyNot;

constexpr int kFlowId = 5001;
const std::string kUdpEcho = std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(2);
  }
  return true;
}

bool near(QColor a, QColor b, int tolerance = 6) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

QImage save(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  const QString folder = dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString(dir);
  QDir().mkpath(folder);
  const QImage shot = w->grab().toImage();
  EXPECT_TRUE(shot.save(folder + "/" + name));
  return shot;
}

class RecordingWebWindow : public gelmora::ui::WebWindowHandle {
 public:
  void close() override {}
  QWidget* window() const override { return nullptr; }
};

class AccelerateScreenKextE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gScene) GTEST_SKIP() << gWhyNot;
    setup = std::make_unique<systest::FilterControllerSetup>(*gScene, tsl::gameRuleList(kFlowId));
    ASSERT_EQ(setup->error(), "");
    ASSERT_TRUE(account.start());
    account.scriptPayloads("/q5client/package/privilege",
                           {{{"flow_size", "100G"},
                             {"mobile_limit", "2"},
                             {"desktop_limit", "1"},
                             {"images", {{{"image", "/sample.png"}, {"name", "Fast"}}}}}});
    front = std::make_unique<standin::FrontStandin>(account.host(), setup->service().address());
    ASSERT_TRUE(front->start());
    ASSERT_TRUE(geo.start());
    geo.setServiceData({{"country", "Japan"}, {"city", "Tokyo"}, {"ip", "203.0.113.9"}});
    standin::WebStandin::addFile(web, "/sample.png", standin::WebStandin::samplePng(), "image/png");
    ASSERT_TRUE(web.start());

    // Sign-in and the older layer share one base domain: the front address serves both.
    TQAPIConfig::sharedInstance().setConfigValue(front->hostPort(), "JVXDomain");
    defaults = std::make_unique<AppUserDefaults>(setup->store());

    user = std::make_unique<TsUserController>(*defaults);
    auto info = tq::fromDictionary<JVX_USER_INFO>(
        {{"uid", 31}, {"rest_traffic", 1536}, {"product_id", 7}, {"share_domain", "s.example"}});
    user->setSession(GVTsSession::initWithUserInfo(*info));
    auto line = std::make_shared<HLNetLineNodeEntity>();
    line->areaId = tq::Number(12);
    line->nodeName = "Japan-Tokyo";
    defaults->setSelectedNetNode(line);
    defaults->setDefaultsNetNode(line);
    defaults->setEndBoostFeedbackUrl("https://feedback.example/end");
    gelmora::ui::UiTiming::setScale(0.01);
  }

  void TearDown() override {
    screen.reset();
    if (controller) {
      controller->setAlertPresenter(nullptr);
      controller->stop();
      controller->drain();
      controller.reset();
    }
    if (!gScene) return;
    if (front) front->stop();
    account.stop();
    geo.stop();
    web.stop();
    setup.reset();
    gelmora::ui::UiTiming::setScale(1);
  }

  ConsoleCapture console;
  std::unique_ptr<systest::FilterControllerSetup> setup;
  standin::account::AccountServer account;
  std::unique_ptr<standin::FrontStandin> front;
  standin::GeoStandin geo;
  standin::HttpStandin web;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  std::unique_ptr<TsKextVPNController> controller;
  std::unique_ptr<TsAccelerateViewController> screen;
};

TEST_F(AccelerateScreenKextE2E, StartShowsTheLooksCarriesTheGameAndStopLeavesNothing) {
  controller = std::make_unique<TsKextVPNController>(TsKextVPNController::defaultSteps());
  gelmora::ui::ScreenRegistry screens;
  std::vector<std::string> pages;
  screens.webWindow.set([&](const gelmora::ui::WebWindowRequest& r) {
    pages.push_back(r.url);
    return std::make_unique<RecordingWebWindow>();
  });
  TsAccelerateDependencies d;
  d.vpn = controller.get();
  d.user = user.get();
  d.defaults = defaults.get();
  d.analytics = [](std::string_view) {};
  const std::string geoUrl = geo.serviceUrl();
  d.geo = [geoUrl] { return TsfetchIPService::tarvoService(geoUrl); };
  d.screens = &screens;
  d.strip.webDomain = [this] { return web.hostPort(); };
  d.strip.user = user.get();
  screen = std::make_unique<TsAccelerateViewController>(d);
  screen->resize(850, 600);
  screen->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(screen.get()));
  gelmora::ui::QtAlertSheetPresenter presenter(screen.get());
  controller->setAlertPresenter(&presenter);
  V* view = screen->specView();
  ASSERT_TRUE(waitFor([&] { return front->accountCount() >= 1; }, 10s));  // the strip asked

  const QImage idle = save(screen.get(), "accelerate-idle.png");
  EXPECT_TRUE(near(idle.pixelColor(425, 350), QColor(0x1B, 0x19, 0x2A)));
  EXPECT_TRUE(near(idle.pixelColor(340, 512), QColor(0xFB, 0x16, 0x58)));
  // The lit ring: blue above, magenta below (brightest pixel across a tick's middle).
  auto tickColor = [&](int y) {
    QColor best(0, 0, 0);
    for (int x = 420; x <= 430; ++x) {
      const QColor c = idle.pixelColor(x, y);
      if (c.red() + c.blue() > best.red() + best.blue()) best = c;
    }
    return best;
  };
  EXPECT_GT(tickColor(125).blue(), tickColor(125).red());
  EXPECT_GT(tickColor(375).red(), tickColor(375).blue());

  view->goButton()->click();
  EXPECT_EQ(view->state(), V::Starting);
  ASSERT_TRUE(waitFor([&] { return view->state() != V::Starting || view->percent() >= 0.3; }));
  EXPECT_EQ(view->state(), V::Starting);  // the filter's start takes far longer than the climb
  const QImage starting = save(screen.get(), "accelerate-starting.png");
  const QColor half = starting.pixelColor(340, 512);  // the disabled button, half blended
  EXPECT_LT(half.red(), 0xFB - 40) << half.name().toStdString();
  EXPECT_GT(half.red(), 0x1F + 40) << half.name().toStdString();
  ASSERT_TRUE(waitFor([&] { return view->state() == V::Accelerated && controller->status() == 3; }))
      << "state " << view->state() << " status " << controller->status() << "\n"
      << gScene->admin("stats");
  ASSERT_TRUE(waitFor([&] {
    return view->finishView()->locationTF()->text() == "IP: Japan-Tokyo" &&
           !view->finishView()->isHidden();
  }));
  QTest::qWait(50);
  const QImage accelerated = save(screen.get(), "accelerate-accelerated.png");
  int white = 0;
  for (int x = 360; x <= 500; ++x)
    for (int y = 255; y <= 285; ++y) white += accelerated.pixelColor(x, y).lightness() > 200;
  EXPECT_GT(white, 20);
  EXPECT_EQ(view->trafficLabel()->text(), "1536MB");

  // The listed game's echo goes out in 400 frames and comes back in 401 frames.
  auto game = gScene->game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(game.status, 0) << game.output;
  size_t back = 0;
  for (const auto& f : gScene->relayFrames()) back += !f.incoming && f.type == 401;
  EXPECT_GE(back, 1u);

  // Second click: idle at once, the end page asked once, the filter gone.
  const auto pid = gScene->tamseldPid();
  view->goButton()->click();
  EXPECT_EQ(view->state(), V::Idle);
  controller->drain();
  EXPECT_EQ(controller->status(), 1);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].rfind("https://feedback.example/end", 0), 0u);
  if (pid) {
    EXPECT_TRUE(systest::waitFor([&] { return ::kill(*pid, 0) != 0; }, 5s));
  }
  EXPECT_FALSE(KextHelper::isConnected());
  ASSERT_TRUE(waitFor([&] { return view->state() == V::Idle; }));
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
    if (!scene.setUp(&why)) {
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
