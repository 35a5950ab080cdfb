// The shop screen under a real X server against the web stand-in and an in-process store: the
// sheet and the menu-sized screen, the top-up page's bridge commands and the page event.
#include <gtest/gtest.h>

#include <QDialog>

#include "../TestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "WebTestSupport.h"
#include "app/Sections/Shop/TsIAPShopViewController.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"
#include "platform/reactive/Scheduler.h"
#include "platform/storekit/StoreKit.h"
#include "standin/AccountServer.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/UiTiming.h"

using gelmora::app::test::run;
using gelmora::app::test::waitForTitle;
using gelmora::ui::test::waitFor;

namespace {

const QColor kPackageColour(0x33, 0x66, 0x99);

class ShopSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    TQAPIConfig::sharedInstance().reset();
    platform::keychain::installBackend(
        std::make_shared<platform::keychain::FileBackend>(tmp.path() / "keychain.json"));
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(account.host());
    hosts.start();
    fake = std::make_shared<storekit::FakeStoreBackend>();
    storekit::StoreShare::shared().setBackend(fake);
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
    host.resize(950, 600);
    host.show();
  }
  void TearDown() override {
    delete sheet.data();
    delete screen.data();
    user.reset();
    storekit::StoreShare::shared().setBackend(nullptr);
    storekit::StoreShare::shared().setIap(nullptr);
    hosts.stop();
    TQAPIConfig::sharedInstance().reset();
    account.stop();
    gelmora::ui::UiTiming::setScale(1);
  }
  TsIAPShopViewController::Collaborators collaborators() {
    TsIAPShopViewController::Collaborators c;
    c.user = user.get();
    c.defaults = defaults.get();
    c.urlOpener = &opener;
    c.topupURL = [this] { return hosts.brandUrl("/in-app/package?is_pc=1"); };
    c.topupAnalytics = [this] { ++topupPages; };
    c.refreshUser = [this] { ++refreshes; };
    c.activeMainWindow = [this] { events.push_back("active"); };
    c.showWebWindow = [this](const std::string& url) { events.push_back("web " + url); };
    return c;
  }
  size_t pageLoads() const {
    return gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/package").size();
  }

  TempDir tmp;
  standin::account::AccountServer account;
  gelmora::app::test::WebHosts hosts;
  std::shared_ptr<storekit::FakeStoreBackend> fake;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  QWidget host;
  QPointer<QWidget> sheet;
  QPointer<TsIAPShopViewController> screen;
  gelmora::ui::RecordingUrlOpener opener;
  int topupPages = 0;
  int refreshes = 0;
  std::vector<std::string> events;
};

TEST_F(ShopSheetTest, SheetShowsTheTopUpPageAndItsCommandsAct) {
  defaults->setPayFeedbackUrl("http://127.0.0.1:1/feedback/pay");
  sheet = TsIAPShopViewController::presentAsSheet(&host, collaborators());
  auto* dialog = qobject_cast<QDialog*>(sheet.data());
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
  EXPECT_EQ(dialog->size(), QSize(400, 400));
  screen = dialog->findChild<TsIAPShopViewController*>();
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(topupPages, 1);
  ASSERT_TRUE(waitForTitle(screen->page(), "top-up"));
  EXPECT_EQ(gelmora::app::test::WebHosts::queries(hosts.brand, "/in-app/package"),
            std::vector<std::string>{"is_pc=1"});
  EXPECT_TRUE(screen->web()->isVisible());
  // The home button lies outside a 400 by 400 sheet.
  EXPECT_FALSE(QRect(0, 0, 400, 400).intersects(screen->homeBtn()->geometry()));

  bool drawn = false;
  QImage img = gelmora::app::test::waitForColour(dialog, QPoint(200, 200), kPackageColour, &drawn);
  gelmora::app::test::saveScreenshot(img, "shop_sheet.png");
  EXPECT_TRUE(drawn) << img.pixelColor(200, 200).name().toStdString();

  // OnPaySuccess: the main window at once, the pay feedback page a moment later.
  run(screen->page(), "paySuccess()");
  ASSERT_TRUE(waitFor([&] { return events.size() >= 2; }, 20000));
  EXPECT_EQ(events[0], "active");
  EXPECT_EQ(events[1].rfind("web http://127.0.0.1:1/feedback/pay?lang=", 0), 0u) << events[1];

  // CloseWindow: a refresh and the page again; the sheet stays.
  const size_t loads = pageLoads();
  run(screen->page(), "closeWindow()");
  ASSERT_TRUE(waitFor([&] { return pageLoads() == loads + 1; }, 20000));
  EXPECT_EQ(refreshes, 1);
  EXPECT_FALSE(sheet.isNull());
  EXPECT_TRUE(dialog->isVisible());

  // Links open only when they are web addresses.
  ASSERT_TRUE(waitForTitle(screen->page(), "top-up"));
  run(screen->page(),
      "openLink('ftp://127.0.0.1/x'); openLink('http://127.0.0.1/help');"
      "withReturn()");
  ASSERT_TRUE(waitForTitle(screen->page(), "1"));
  ASSERT_TRUE(waitFor([&] { return !opener.opened.empty(); }, 20000));
  EXPECT_EQ(opener.opened, std::vector<std::string>{"http://127.0.0.1/help"});
  EXPECT_EQ(topupPages, 1);

  // A finished purchase would dismiss the sheet; inside the menu dismissal does nothing.
  screen->dismiss();
  EXPECT_TRUE(waitFor([&] { return sheet.isNull(); }));
}

TEST_F(ShopSheetTest, MenuScreenPlacesHomeAndPayFeedbackNeedsAnAddress) {
  screen = new TsIAPShopViewController(collaborators(), &host);
  screen->setGeometry(0, 0, 850, 600);
  screen->show();
  EXPECT_EQ(screen->homeBtn()->geometry(), QRect(750, 20, 100, 30));
  EXPECT_TRUE(screen->homeBtn()->isVisible());
  EXPECT_EQ(screen->homeBtn()->title(), "Home");
  ASSERT_TRUE(waitForTitle(screen->page(), "top-up"));

  run(screen->page(), "paySuccess()");
  ASSERT_TRUE(waitFor([&] { return !events.empty(); }, 20000));
  // The delay passes without a page: none is stored.
  QPointer<QObject> marker = new QObject;
  gelmora::ui::UiTiming::after(0.5, marker, [&] { delete marker.data(); });
  ASSERT_TRUE(waitFor([&] { return marker.isNull(); }));
  EXPECT_EQ(events, std::vector<std::string>{"active"});

  const size_t loads = pageLoads();
  QTest::mouseClick(screen->homeBtn(), Qt::LeftButton);
  EXPECT_TRUE(waitFor([&] { return pageLoads() == loads + 1; }, 20000));
  screen->dismiss();  // no sheet: nothing happens
  EXPECT_FALSE(screen.isNull());
  EXPECT_TRUE(screen->isVisible());
}

}  // namespace
