// A whole purchase from the shop sheet under a real X server: a signed-in user, the account
// stand-in, the store stand-in with signed receipts and the web host's top-up page. The list
// shows what both sell, a buy is ordered, paid, uploaded and credited, and a receipt the service
// refuses keeps the purchase pending with the service's alert.
#include <gtest/gtest.h>

#include <QDialog>
#include <fstream>

#include "GuiSession.h"
#include "Tovra/Codec/Base64.h"
#include "WebTestSupport.h"
#include "app/Sections/Shop/TsIAPShopViewController.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Sections/Shop/TsIAPShopViewModel.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/storekit/StoreKit.h"
#include "standin/StoreStandin.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Shop/TsIAPShopItemView.h"

using gelmora::ui::test::waitFor;

namespace {

constexpr const char* kFinish = "/q5client/iap/finish-payment";

class ShopPurchaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    ASSERT_TRUE(session.ready());
    for (const auto& e : storekit::PendingTransactions().list())
      storekit::PendingTransactions().finish(e.transactionIdentifier);
    store.setProducts({{"a", "Month", "Thirty days", "6.00"},
                       {"b", "Season", "Ninety days", "18.00"},
                       {"x", "Other", "Not offered", "1.00"}});
    ASSERT_TRUE(store.start());
    session.account.setStorePublicKey(store.publicKey());
    session.account.setProductIdentifiers({"b", "a", "c"});
    storekit::StoreShare::shared().setBackend(
        std::make_shared<storekit::HttpStoreBackend>(store.url()));
    storekit::StoreShare::shared().setIap(nullptr);
    ASSERT_TRUE(web.start());
    standin::WebStandin::addDirectory(web, STANDIN_WEB_PAGES);
    // The service's failures reach the alerts as in the running application.
    AppDependencies::Collaborators c;
    c.user = &session.user();
    c.defaults = &session.defaults();
    c.alerts = &alerts;
    deps = std::make_unique<AppDependencies>(c);
    deps->setUpAPI();
    ASSERT_TRUE(session.signIn());
    gelmora::ui::observe(&host, TsUserInfoChangedNotification,
                         [this](const platform::notifications::Notification&) {
                           const auto& s = session.user().session();
                           if (s && s->userInfo && s->userInfo->package_name)
                             packages.push_back(*s->userInfo->package_name);
                         });
    host.resize(950, 600);
    host.show();
  }
  void TearDown() override {
    delete sheet.data();
    deps.reset();
    storekit::StoreShare::shared().setBackend(nullptr);
    storekit::StoreShare::shared().setIap(nullptr);
    store.stop();
    web.stop();
    gelmora::ui::UiTiming::setScale(1);
  }
  TsIAPShopViewController* open() {
    TsIAPShopViewController::Collaborators c;
    c.user = &session.user();
    c.defaults = &session.defaults();
    c.topupURL = [this] { return web.baseUrl() + "/in-app/package"; };
    c.topupAnalytics = [] {};
    c.activeMainWindow = [] {};
    sheet = TsIAPShopViewController::presentAsSheet(&host, c);
    auto* shop = sheet->findChild<TsIAPShopViewController*>();
    EXPECT_TRUE(waitFor([&] { return shop->shopItems().size() == 2; }, 20000));
    return shop;
  }
  int64_t uid() { return session.user().session()->userInfo->uid->intValue(); }
  std::vector<standin::account::SeenRequest> uploads() {
    std::vector<standin::account::SeenRequest> out;
    for (auto& r : session.account.requests())
      if (r.path == kFinish) out.push_back(r);
    return out;
  }

  gelmora::test::GuiSession session;
  standin::StoreStandin store;
  standin::HttpStandin web;
  gelmora::ui::RecordingAlertSheetPresenter alerts;
  std::unique_ptr<AppDependencies> deps;
  QWidget host;
  QPointer<QWidget> sheet;
  std::vector<std::string> packages;
};

TEST_F(ShopPurchaseTest, BuyingTheFirstRowCreditsItsPackage) {
  auto* shop = open();
  EXPECT_EQ(shop->shopItems()[0]->titleLabel()->text(), "Season");
  EXPECT_EQ(shop->shopItems()[1]->titleLabel()->text(), "Month");
  const QImage img = shop->itemsContainer()->grab().toImage();
  gelmora::app::test::saveScreenshot(img, "shop_purchase_list.png");
  EXPECT_EQ(img.pixelColor(5, 5), QColor(242, 242, 242));
  EXPECT_EQ(img.pixelColor(5, 105), QColor(242, 242, 242));
  EXPECT_EQ(img.pixelColor(5, 250), QColor(31, 29, 50));

  QTest::mouseClick(shop->shopItems()[0]->buyButton(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return sheet.isNull(); }, 30000)) << alerts.sheets.size();
  ASSERT_TRUE(waitFor([&] { return !packages.empty() && packages.back() == "b"; }, 20000));

  const auto orders = session.account.orders();
  ASSERT_EQ(orders.size(), 1u);
  EXPECT_EQ(orders[0].uid, uid());
  EXPECT_EQ(orders[0].product, "b");
  EXPECT_FALSE(orders[0].creditedTransaction.empty());
  EXPECT_EQ(session.account.creditOf(uid())->packageName, "b");
  const auto sent = uploads();
  ASSERT_EQ(sent.size(), 1u);
  std::ifstream in(storekit::receiptPath(), std::ios::binary);
  const std::string receipt((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(receipt.empty());
  EXPECT_EQ(tq::base64Decode((*sent[0].info)["receipt"].get<std::string>()), receipt);
  EXPECT_FALSE(sent[0].info->contains("order_id"));
  EXPECT_TRUE(storekit::PendingTransactions().list().empty());
  EXPECT_TRUE(alerts.sheets.empty());
}

TEST_F(ShopPurchaseTest, RefusedReceiptAlertsAndKeepsThePurchasePending) {
  store.setBadSignature(true);
  auto* shop = open();
  QTest::mouseClick(shop->shopItems()[1]->buyButton(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return !alerts.sheets.empty(); }, 30000));
  ASSERT_TRUE(alerts.sheets[0].messageText);
  EXPECT_EQ(*alerts.sheets[0].messageText, "receipt signature invalid");
  ASSERT_TRUE(waitFor([&] { return !shop->model().loading().value(); }));
  EXPECT_FALSE(sheet.isNull());
  const auto pending = storekit::PendingTransactions().list();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].productIdentifier, "a");
  EXPECT_FALSE(session.account.creditOf(uid()));
}

}  // namespace
