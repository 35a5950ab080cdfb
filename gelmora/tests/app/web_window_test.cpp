// The in-app web window under a real X server against the web stand-ins: size and title by the
// title, the address with its lang pair as the host sees it, back navigation, refresh on close,
// the share script and links from the page.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWebEngineHistory>

#include "WebTestSupport.h"
#include "app/Sections/Shop/TsIAPShopViewController.h"
#include "app/Sections/Web/WebWindow.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Kit/UiTiming.h"

using gelmora::app::WebWindow;
using gelmora::app::test::run;
using gelmora::app::test::waitForTitle;
using gelmora::ui::test::waitFor;

namespace {

const QColor kPackageColour(0x33, 0x66, 0x99);

class WebWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    hosts.start();
  }
  void TearDown() override {
    window.reset();
    hosts.stop();
    gelmora::ui::UiTiming::setScale(1);
  }
  WebWindow* make() {
    WebWindow::Collaborators c;
    c.refreshUser = [this] { ++refreshes; };
    c.urlOpener = &opener;
    c.language = [] { return std::string("en"); };
    window = std::make_unique<WebWindow>(c);
    return window.get();
  }
  // Sets the window up and waits for the deferred set-up to run.
  void show(const QString& title, int w, int h, const std::string& url) {
    window->initWithTitle(title, w, h, url);
    ASSERT_TRUE(waitFor([&] { return window->isVisible(); }));
  }

  gelmora::app::test::WebHosts hosts;
  std::unique_ptr<WebWindow> window;
  gelmora::ui::RecordingUrlOpener opener;
  int refreshes = 0;
};

TEST_F(WebWindowTest, TitleDecidesTheSizeAndTheSetUpIsDeferred) {
  struct Case {
    QString title;
    QSize want;
    bool recharge;
  };
  const std::vector<Case> cases = {
      {"Purchase", {1100, 700}, true}, {"Purchases", {680, 500}, false},
      {"purchase", {680, 500}, false}, {"立即充值", {1100, 700}, true},
      {"儲值卡", {1100, 700}, true},   {"", {640, 480}, false},
  };
  make();
  window->resize(300, 200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title.toStdString());
    const QString before = window->titleLabel()->text();
    window->initWithTitle(c.title, c.want.width() == 640 ? 640 : 680,
                          c.want.width() == 640 ? 480 : 500, "");
    // Nothing changes before the main queue's next turn.
    EXPECT_EQ(window->titleLabel()->text(), before);
    ASSERT_TRUE(waitFor([&] {
      return window->isVisible() && window->size() == c.want &&
             window->titleLabel()->text() == c.title;
    }));
    EXPECT_EQ(window->isRecharge(), c.recharge);
    EXPECT_EQ(window->titleLabel()->text(), c.title);
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 1);
    // An empty address loads nothing.
    EXPECT_TRUE(window->page()->url().isEmpty());
  }
}

TEST_F(WebWindowTest, AddressGetsTheLangPairEveryTime) {
  make();
  struct Case {
    std::string path, query;
  };
  const std::vector<Case> cases = {
      {"/in-app/orders", "lang=en"},
      {"/in-app/orders?a=1", "a=1&lang=en"},
      {"/in-app/orders?lang=zh", "lang=zh&lang=en"},
      {"/in-app/orders?a=1#x", "a=1&lang=en"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].path);
    show("", 680, 500, hosts.brandUrl(cases[i].path));
    ASSERT_TRUE(waitFor(
        [&] {
          return gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/orders").size() >=
                 i + 1;
        },
        20000));
    EXPECT_EQ(gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/orders").back(),
              cases[i].query);
  }
}

TEST_F(WebWindowTest, BackReloadsTheFirstPageOnceAndShareRunsThePageScript) {
  make();
  show("Purchase", 680, 500, hosts.brandUrl("/in-app/package"));
  ASSERT_TRUE(waitForTitle(window->page(), "top-up"));
  EXPECT_TRUE(window->logo()->isVisible());
  EXPECT_FALSE(window->backButton()->isVisible());

  // The page colour fills the window's middle.
  bool drawn = false;
  QImage img =
      gelmora::app::test::waitForColour(window.get(), QPoint(550, 350), kPackageColour, &drawn);
  gelmora::app::test::saveScreenshot(img, "web_window.png");
  EXPECT_TRUE(drawn) << img.pixelColor(550, 350).name().toStdString();
  EXPECT_EQ(img.size(), QSize(1100, 700));

  window->onShareClick();
  EXPECT_TRUE(waitFor([&] { return window->page()->title().startsWith("copied http://"); }));

  // A second page (loaded by the application: the engine skips entries a page script made without
  // a user's gesture when going back).
  window->page()->load(QUrl(QString::fromStdString(hosts.brandUrl("/in-app/orders"))));
  ASSERT_TRUE(waitForTitle(window->page(), "orders"));
  ASSERT_TRUE(waitFor([&] { return window->backButton()->isVisible(); }));
  EXPECT_FALSE(window->logo()->isVisible());

  const size_t before =
      gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/package").size();
  // The way back and the reload each finish a load; a page script is run only in the last one.
  int finished = 0;
  QObject::connect(window->page(), &QWebEnginePage::loadFinished, window.get(),
                   [&finished] { ++finished; });
  window->onBackClick();
  EXPECT_TRUE(window->isClickGoBack());
  EXPECT_FALSE(window->webView()->isVisible());
  ASSERT_TRUE(waitFor([&] { return window->webView()->isVisible(); }, 20000))
      << window->page()->url().toString().toStdString() << " back "
      << window->page()->history()->canGoBack() << " idx "
      << window->page()->history()->currentItemIndex() << " n "
      << window->page()->history()->count() << " title " << window->page()->title().toStdString();
  EXPECT_FALSE(window->isClickGoBack());
  EXPECT_TRUE(window->logo()->isVisible());
  EXPECT_FALSE(window->backButton()->isVisible());
  // The reload asks the host again (the way back itself may come from the cache).
  ASSERT_TRUE(waitFor(
      [&] {
        return gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/package").size() >
               before;
      },
      20000));
  ASSERT_TRUE(waitFor([&] { return finished >= 2; }, 20000)) << finished;
  ASSERT_TRUE(waitForTitle(window->page(), "top-up"));
  run(window->page(), "window.external.InvokeFromJavascript('OnOpenLink', 'https://127.0.0.1/x')");
  ASSERT_TRUE(waitFor([&] { return opener.opened.size() == 1; }, 20000));
  EXPECT_EQ(opener.opened[0], "https://127.0.0.1/x");
  const size_t after = gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/package").size();
  EXPECT_LE(after - before, 2u);
  EXPECT_FALSE(window->page()->history()->canGoBack());
}

TEST_F(WebWindowTest, ClosingATopUpWindowRefreshesTheUserOnce) {
  struct Case {
    QString title;
    bool needRefreshUser;
    int want;
  };
  const std::vector<Case> cases = {
      {"Purchase", false, 1}, {"充值", false, 1}, {"Orders", false, 0}, {"Orders", true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title.toStdString());
    refreshes = 0;
    make();
    window->setNeedRefreshUser(c.needRefreshUser);
    show(c.title, 680, 500, "");
    window->close();
    EXPECT_EQ(refreshes, c.want);
  }
  // The owner closing the window for another page refreshes nothing.
  refreshes = 0;
  gelmora::ui::ScreenRegistry registry;
  gelmora::app::registerWebScreens(registry);
  auto handle = registry.webWindow.make({"Purchase", 680, 500, "", true});
  ASSERT_TRUE(handle);
  ASSERT_TRUE(waitFor([&] { return handle->window() && handle->window()->isVisible(); }));
  EXPECT_EQ(handle->window()->size(), QSize(1100, 700));
  handle->close();
  EXPECT_EQ(handle->window(), nullptr);
}

}  // namespace
