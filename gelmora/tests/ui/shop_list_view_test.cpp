// The shop's product list: rows in product order, texts with none shown empty, the buy index,
// rebuilding, and the list's look.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Sections/Shop/TsIAPShopItemView.h"
#include "ui/Sections/Shop/TsIAPShopView.h"
#include "ui/Sections/Shop/TsShopViewController.h"

namespace {

using storekit::Product;

struct RecordingDelegate : TsIAPShopViewDelegate {
  void didTouchedBuyButtonAtIndex(int64_t index, TsIAPShopView* view) override {
    touched.push_back(index);
    from = view;
  }
  std::vector<int64_t> touched;
  TsIAPShopView* from = nullptr;
};

std::vector<Product> three() {
  return {Product{"a", "Month", "Thirty days", "6.00", "CNY"},
          Product{"b", std::nullopt, std::nullopt, "not a price", "CNY"},
          Product{"c", "Year", "A whole year", "68.00", "USD"}};
}

TEST(ShopListView, RowsFollowTheProductsAndShowMissingTextsEmpty) {
  TsIAPShopView view;
  view.resize(400, 400);
  EXPECT_FALSE(view.finishButton()->isVisible());
  EXPECT_EQ(view.finishButton()->text(), "Done");
  view.updateWithProducts({});
  EXPECT_TRUE(view.shopItems().empty());
  EXPECT_TRUE(view.itemsContainer()->findChildren<TsIAPShopItemView*>().empty());

  view.updateWithProducts(three());
  ASSERT_EQ(view.shopItems().size(), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(view.shopItems()[i]->geometry(), QRect(0, 100 * i, 400, 100));
  const auto* first = view.shopItems()[0];
  EXPECT_EQ(first->titleLabel()->text(), "Month");
  EXPECT_EQ(first->subTitleLabel()->text(), "Thirty days");
  EXPECT_FALSE(first->priceLabel()->text().isEmpty());
  EXPECT_EQ(first->buyButton()->title(), "Buy");
  const auto* second = view.shopItems()[1];
  EXPECT_EQ(second->titleLabel()->text(), "");
  EXPECT_EQ(second->subTitleLabel()->text(), "");
  EXPECT_EQ(second->priceLabel()->text(), "");  // a price that cannot be formatted
  EXPECT_EQ(view.shopItems()[2]->titleLabel()->text(), "Year");

  // A second update replaces every row.
  QPointer<TsIAPShopItemView> old = view.shopItems()[0];
  view.updateWithProducts({three()[2]});
  ASSERT_EQ(view.shopItems().size(), 1u);
  EXPECT_EQ(view.shopItems()[0]->titleLabel()->text(), "Year");
  EXPECT_TRUE(gelmora::ui::test::waitFor([&] { return old.isNull(); }));
  EXPECT_EQ(view.itemsContainer()->findChildren<TsIAPShopItemView*>().size(), 1u);
}

TEST(ShopListView, BuyButtonsReportTheirRow) {
  TsIAPShopView view;
  view.resize(400, 400);
  RecordingDelegate delegate;
  view.setDelegate(&delegate);
  view.updateWithProducts(three());
  view.show();
  QTest::mouseClick(view.shopItems()[2]->buyButton(), Qt::LeftButton);
  QTest::mouseClick(view.shopItems()[0]->buyButton(), Qt::LeftButton);
  EXPECT_EQ(delegate.touched, (std::vector<int64_t>{2, 0}));
  EXPECT_EQ(delegate.from, &view);
}

TEST(ShopListView, LoadingIndicatorTurnsOnlyWhileAsked) {
  TsIAPShopView view;
  view.resize(400, 400);
  view.show();
  EXPECT_FALSE(view.loadingIndicator()->isAnimating());
  EXPECT_EQ(view.loadingIndicator()->geometry(), QRect(185, 185, 30, 30));
  view.loadingIndicator()->startAnimation();
  EXPECT_TRUE(view.loadingIndicator()->isAnimating());
  view.loadingIndicator()->stopAnimation();
  EXPECT_FALSE(view.loadingIndicator()->isAnimating());
}

TEST(ShopListView, Screenshot) {
  TsIAPShopView view;
  view.resize(400, 400);
  view.updateWithProducts(three());
  view.show();
  const QImage img = view.grab().toImage();
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  if (!dir.isEmpty()) {
    QDir().mkpath(QString::fromLocal8Bit(dir));
    img.save(QString::fromLocal8Bit(dir) + "/shop_list.png");
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(img.pixelColor(5, 100 * i + 5), QColor(242, 242, 242)) << i;
  EXPECT_EQ(img.pixelColor(0, 0), QColor(207, 207, 207));
  EXPECT_EQ(img.pixelColor(5, 350), TsStyleSheet::sharedInstance().backgroundColor());
  EXPECT_EQ(img.pixelColor(5, 350), QColor(31, 29, 50));
  // The description line is white under the grey box.
  EXPECT_EQ(img.pixelColor(395, 85), QColor(Qt::white));
}

TEST(ShopListView, PlaceholderShopScreen) {
  TsShopViewController shop;
  EXPECT_EQ(shop.size(), QSize(300, 400));
  EXPECT_TRUE(shop.children().isEmpty());
}

}  // namespace
