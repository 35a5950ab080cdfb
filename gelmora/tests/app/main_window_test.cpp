// The main window on a real X server with a session against the stand-ins: the signed-out screen,
// the menu once signed in (screenshots saved for a person to look at), the analytics hits of a
// launch in order, and the web profile's cookies cleared by the start-up container.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWindow>

#include "../ui/UiTestSupport.h"
#include "GuiSession.h"
#include "WebProfile.h"
#include "gelmora/Application/AppDependencies.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/TsWindow.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Root/TsRootViewController.h"

using gelmora::test::GuiSession;
using gelmora::ui::test::waitFor;

namespace {

const QColor kLoginRed(0xFF, 0x3B, 0x30);
const QColor kBar(0x1A, 0x17, 0x27);

// A screen of one colour, standing in for a screen a later part builds.
QWidget* plainScreen(QWidget* parent, const QColor& color) {
  auto* w = new QWidget(parent);
  w->setAutoFillBackground(true);
  QPalette p = w->palette();
  p.setColor(QPalette::Window, color);
  w->setPalette(p);
  return w;
}

bool near(const QColor& a, const QColor& b) {
  return std::abs(a.red() - b.red()) <= 4 && std::abs(a.green() - b.green()) <= 4 &&
         std::abs(a.blue() - b.blue()) <= 4;
}

QImage shoot(QWidget* window, const char* name) {
  QImage image = window->grab().toImage();
  QString dir = qEnvironmentVariable("GELMORA_SCREENSHOT_DIR", QDir::tempPath());
  QDir().mkpath(dir);
  image.save(dir + "/" + name);
  return image;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session_.ready());
    gelmora::ui::UiTiming::setScale(0.01);
    screens_.login.set([](QWidget* parent) { return plainScreen(parent, kLoginRed); });
    screens_.acceleration.set([](QWidget* parent) { return plainScreen(parent, Qt::darkGray); });
  }
  void TearDown() override {
    delete window_;
    gelmora::ui::UiTiming::setScale(1.0);
  }
  void openWindow() {
    TsRootViewController::Dependencies deps;
    deps.userStatus = [this] { return session_.user().status(); };
    deps.defaults = &session_.defaults();
    deps.startupAnalytics = [this] { session_.analyticsService().startup(); };
    deps.registerAnalytics = [this] { session_.analyticsService().registerEvent(); };
    deps.screens = &screens_;
    root_ = TsRootViewController::create(deps);
    window_ = new TsWindow();
    window_->setContentView(root_.get());
    window_->show();
    ASSERT_TRUE(
        waitFor([&] { return window_->windowHandle() && window_->windowHandle()->isExposed(); }));
  }

  GuiSession session_;
  gelmora::ui::ScreenRegistry screens_;
  std::shared_ptr<TsRootViewController> root_;
  TsWindow* window_ = nullptr;
};

TEST_F(MainWindowTest, SignedOutShowsTheLoginScreenAndSignedInTheMenu) {
  openWindow();
  ASSERT_TRUE(waitFor([&] { return root_->showsLogin(); }));
  QImage out = shoot(window_, "main-window-signed-out.png");
  EXPECT_EQ(out.size() / out.devicePixelRatio(), QSize(950, 600));
  EXPECT_TRUE(near(out.pixelColor(475, 300), kLoginRed))
      << out.pixelColor(475, 300).name().toStdString();

  ASSERT_TRUE(session_.signIn());
  ASSERT_TRUE(waitFor([&] { return !root_->showsLogin() && root_->currentViewController(); }));
  // The swap's fade, scaled down.
  QImage in;
  EXPECT_TRUE(waitFor([&] {
    in = window_->grab().toImage();
    return near(in.pixelColor(50, 300), kBar);
  }));
  shoot(window_, "main-window-menu.png");
  EXPECT_TRUE(near(in.pixelColor(50, 300), kBar)) << in.pixelColor(50, 300).name().toStdString();
}

TEST_F(MainWindowTest, LaunchAnalyticsArriveInOrder) {
  // What the delegate sends at launch, then the root's start-up event once signed in.
  session_.analyticsService().firstInstall();
  session_.analyticsService().launchPage();
  session_.analyticsService().startHeartbeat();
  openWindow();
  ASSERT_TRUE(session_.signIn());
  auto label = [](const standin::AnalyticsHit& h) {
    if (auto page = h.get("dp")) return *page;
    return h.get("ea").value_or("?");
  };
  // Sent hits leave in the order they were made; the first heartbeat goes out on the loop's next
  // turn, after the root's start-up event.
  const std::vector<std::string> want{"install", "/clientmac/successfulinstallationpage",
                                      "/clientmac/launchpage", "launch", "heartbeat"};
  std::vector<std::string> got;
  EXPECT_TRUE(waitFor(
      [&] {
        got.clear();
        for (const auto& h : session_.analytics.hits()) got.push_back(label(h));
        return got.size() >= want.size();
      },
      10000));
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + want.size()), want);
}

TEST_F(MainWindowTest, ClearCookiesEmptiesTheSharedWebProfile) {
  QWebEngineProfile* profile = gelmora::app::WebProfile::shared();
  EXPECT_EQ(profile, gelmora::app::WebProfile::shared());
  EXPECT_FALSE(profile->isOffTheRecord());
  // A page brings the profile's storage up; cookies are only reported once it is.
  QWebEnginePage page(profile);
  QWebEngineCookieStore* store = profile->cookieStore();
  int added = 0, removed = 0;
  QObject::connect(store, &QWebEngineCookieStore::cookieAdded, [&](const QNetworkCookie& c) {
    if (c.name() == "session-test") ++added;
  });
  QObject::connect(store, &QWebEngineCookieStore::cookieRemoved, [&](const QNetworkCookie& c) {
    if (c.name() == "session-test") ++removed;
  });
  // A page of the stand-in's origin sets the cookie as a site would.
  bool loaded = false;
  QObject::connect(&page, &QWebEnginePage::loadFinished, [&](bool) { loaded = true; });
  page.setHtml("<html><body>t</body></html>",
               QUrl(QString::fromStdString("http://" + session_.account.host() + "/")));
  ASSERT_TRUE(waitFor([&] { return loaded; }, 20000));
  page.runJavaScript("document.cookie = 'session-test=1; max-age=86400; path=/';");
  ASSERT_TRUE(waitFor([&] { return added > 0; }, 10000));

  gelmora::app::QtWebDataStore webData;
  AppDependencies::Collaborators c;
  c.webData = &webData;
  c.user = &session_.user();
  c.defaults = &session_.defaults();
  AppDependencies deps(c);
  deps.clearCookies();
  EXPECT_TRUE(waitFor([&] { return removed > 0; }, 10000));
}

}  // namespace
