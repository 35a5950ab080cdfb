// The acceleration screen with a fake acceleration controller and recording collaborators, at
// 1 % of the design's durations.
#include "AccelerateTestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "standin/AccountServer.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Accelerate/TsAccelerateViewController.h"

using gelmora::ui::test::waitFor;
using V = TsAccelerateView;

namespace {

// A web window that only records that it was closed.
class RecordingWebWindow : public gelmora::ui::WebWindowHandle {
 public:
  explicit RecordingWebWindow(int* closes) : closes_(closes) {}
  void close() override { ++*closes_; }
  QWidget* window() const override { return nullptr; }

 private:
  int* closes_;
};

class AccelerateScreenTest : public AccelerateFixture {
 protected:
  void SetUp() override {
    AccelerateFixture::SetUp();
    screens.webWindow.set([this](const gelmora::ui::WebWindowRequest& r) {
      pages.push_back(r);
      return std::make_unique<RecordingWebWindow>(&webCloses);
    });
    signIn({{"uid", 5}, {"rest_traffic", 1536}, {"share_domain", "share.example/u5"}});
    defaults->setDefaultsNetNode(std::make_shared<HLNetLineNodeEntity>());  // no first fetch
  }
  void TearDown() override {
    screen.reset();
    AccelerateFixture::TearDown();
  }
  TsAccelerateDependencies deps() {
    TsAccelerateDependencies d;
    d.vpn = &vpn;
    d.user = user.get();
    d.defaults = defaults.get();
    d.analytics = [this](std::string_view e) { events.emplace_back(e); };
    auto v = viewDependencies();
    d.geo = v.geo;
    d.strip = v.strip;
    d.alerts = &alerts;
    d.clipboard = &clipboard;
    d.urlOpener = &opener;
    d.screens = &screens;
    d.lineChoice = [this]() -> QWidget* {
      ++lineChoices;
      return nullptr;
    };
    d.supportChatURL = [] { return std::string("https://chat.example/desk"); };
    return d;
  }
  void build() {
    screen = std::make_unique<TsAccelerateViewController>(deps());
    screen->show();
  }
  V* view() { return screen->specView(); }

  gelmora::ui::ScreenRegistry screens;
  gelmora::ui::RecordingAlertSheetPresenter alerts;
  gelmora::ui::RecordingClipboard clipboard;
  gelmora::ui::RecordingUrlOpener opener;
  std::vector<gelmora::ui::WebWindowRequest> pages;
  std::vector<std::string> events;
  int webCloses = 0;
  int lineChoices = 0;
  std::unique_ptr<TsAccelerateViewController> screen;
};

TEST_F(AccelerateScreenTest, GoWithoutALineOpensTheLineChoice) {
  build();
  view()->goButton()->click();
  EXPECT_EQ(lineChoices, 1);
  EXPECT_EQ(view()->state(), V::Idle);
  EXPECT_EQ(vpn.count("start"), 0u);
}

TEST_F(AccelerateScreenTest, StartThatCompletesAtOnce) {
  chooseLine(5, "Japan-Tokyo");
  defaults->setRecommendURL("https://rec.example/p");
  vpn.mode = FakeAccelerationController::StartMode::CompleteAtOnce;
  build();
  EXPECT_TRUE(view()->lineLabel()->text().contains("Japan-Tokyo"));
  EXPECT_EQ(view()->trafficLabel()->text(), "1536MB");
  EXPECT_EQ(events, (std::vector<std::string>{"acceleratePage"}));
  view()->goButton()->click();
  EXPECT_EQ(vpn.count("start"), 1u);
  // Completion in the start's own call: accelerated, analytics in order, the button at once and
  // the page 0.3 s (scaled) later.
  EXPECT_EQ(view()->state(), V::Accelerated);
  EXPECT_EQ(events, (std::vector<std::string>{"acceleratePage", "speed", "firstAccelerate"}));
  EXPECT_FALSE(view()->recommendButton()->isHidden());
  EXPECT_TRUE(pages.empty());
  ASSERT_TRUE(waitFor([&] { return pages.size() == 1; }));
  EXPECT_EQ(pages[0].url, "https://rec.example/p");
  EXPECT_EQ(pages[0].width, 680);
  EXPECT_EQ(pages[0].height, 500);
  EXPECT_TRUE(pages[0].title.isEmpty());
}

TEST_F(AccelerateScreenTest, StartLaterGoesThroughStartingAndErrorsBackToIdle) {
  chooseLine(5, "Japan-Tokyo");
  vpn.mode = FakeAccelerationController::StartMode::Later;
  build();
  view()->goButton()->click();
  EXPECT_EQ(view()->state(), V::Starting);
  EXPECT_TRUE(screen->startRunning());
  // The controller announces disconnected, then connecting, before the outcome: still the
  // starting look.
  for (long long status : {1, 2}) {
    vpn.setStatus(status);
    EXPECT_EQ(view()->state(), V::Starting) << status;
  }
  EXPECT_TRUE(view()->climbPending() || view()->percentAnimation());
  vpn.setStatus(3, false);
  vpn.completePending();
  EXPECT_EQ(view()->state(), V::Accelerated);

  // A failed start: idle, and the screen shows no alert of its own.
  vpn.setStatus(1, false);
  view()->changeState(V::Idle, false);
  view()->goButton()->click();
  EXPECT_EQ(view()->state(), V::Starting);
  vpn.failPending();
  EXPECT_EQ(view()->state(), V::Idle);
  EXPECT_FALSE(screen->startRunning());
  EXPECT_TRUE(alerts.sheets.empty());
}

TEST_F(AccelerateScreenTest, StopGoesIdleBeforeStopAndOpensTheEndPageAtOnce) {
  chooseLine(5, "Japan-Tokyo");
  defaults->setEndBoostFeedbackUrl("https://fb.example/end");
  vpn.setStatus(3, false);
  build();
  // Built while accelerating: the view shows it, without animation.
  EXPECT_EQ(view()->state(), V::Accelerated);
  EXPECT_TRUE(view()->goButton()->isEnabled());
  int64_t stateAtStop = -1;
  vpn.calls.clear();
  vpn.onStop = [&] { stateAtStop = view()->state(); };
  view()->goButton()->click();
  EXPECT_EQ(stateAtStop, V::Idle);
  EXPECT_EQ(vpn.calls, (std::vector<std::string>{"stop"}));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].url.rfind("https://fb.example/end", 0), 0u);
  EXPECT_TRUE(view()->recommendButton()->isHidden());

  // A second page closes the first window.
  screen->showWebWindowWithTitle("", "https://rec.example/2");
  EXPECT_EQ(webCloses, 1);
  EXPECT_EQ(pages.size(), 2u);
}

TEST_F(AccelerateScreenTest, StatusTableAndIgnoredToggles) {
  build();
  struct Case {
    long long status;
    int64_t state;
  } cases[] = {{2, V::Busy}, {3, V::Accelerated}, {4, V::Accelerated},
               {5, V::Busy}, {0, V::Idle},        {1, V::Idle}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    view()->trafficLabel()->clear();
    vpn.setStatus(c.status);
    EXPECT_EQ(view()->state(), c.state);
    EXPECT_EQ(view()->trafficLabel()->text(), "1536MB");  // refreshed every time
  }
  for (long long busy : {0, 2, 4, 5}) {
    vpn.setStatus(busy, false);
    screen->toggleState();
  }
  EXPECT_TRUE(vpn.calls.empty());
}

TEST_F(AccelerateScreenTest, TopButtons) {
  build();
  view()->topButton(0)->click();
  EXPECT_EQ(opener.opened, (std::vector<std::string>{"https://chat.example/desk"}));
  view()->topButton(1)->click();
  EXPECT_EQ(clipboard.contents, (std::vector<std::string>{"share.example/u5"}));
  ASSERT_EQ(alerts.sheets.size(), 1u);
  EXPECT_EQ(alerts.sheets[0].informativeText, gelmora::ui::L10n::text("text_copied").toStdString());

  signIn({{"uid", 5}});  // no share_domain: neither copy nor alert
  view()->topButton(1)->click();
  EXPECT_EQ(clipboard.writes, 1);
  EXPECT_EQ(alerts.sheets.size(), 1u);

  gelmora::ui::test::LogCapture log;
  view()->topButton(2)->click();  // no settings panel in this build: logged, nothing shown
  EXPECT_TRUE(log.contains("settings panel"));
}

TEST_F(AccelerateScreenTest, LineLabelFollowsTheChosenLineAndFirstRunCopiesTheDefault) {
  build();
  EXPECT_TRUE(view()->lineLabel()->text().contains(gelmora::ui::L10n::text("default_node")));
  EXPECT_TRUE(view()->lineLabel()->text().contains(gelmora::ui::L10n::text("current_node")));
  chooseLine(6, "Korea-Seoul");
  platform::notifications::NotificationCenter::defaultCenter().post(HLNetNodeChangedNotification);
  EXPECT_TRUE(view()->lineLabel()->text().contains("Korea-Seoul"));
  screen.reset();

  // First run: no default line yet, so the screen fetches the list and takes its first line.
  standin::account::AccountServer account;
  ASSERT_TRUE(account.start());
  set_JVXDomain(account.host());
  account.scriptPayloads("/q5client/rule/get-exit-set",
                         {{{"list", {{{"area_id", 9}, {"country", "CN"}, {"city", "SH"}}}}}});
  store->remove("defaultsNetNode");
  store->remove("selectedNetNode");
  build();
  ASSERT_TRUE(waitFor([&] { return defaults->selectedNetNode() != nullptr; }));
  EXPECT_EQ(defaults->selectedNetNode()->nodeName, "CN-SH");
  EXPECT_EQ(defaults->defaultsNetNode()->nodeName, "CN-SH");
  EXPECT_TRUE(view()->lineLabel()->text().contains("CN-SH"));
  screen.reset();
  account.stop();
}

}  // namespace
