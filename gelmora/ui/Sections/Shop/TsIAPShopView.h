#pragma once
// The shop's native product list: one row per product from the top down (no scrolling), a
// loading indicator in the middle and a hidden finish button. A pressed buy button is reported
// to the delegate by the row's index.
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "platform/storekit/StoreKit.h"

class TsIAPShopItemView;
class TsIAPShopView;
class QVariantAnimation;

class TsIAPShopViewDelegate {
 public:
  virtual ~TsIAPShopViewDelegate() = default;
  virtual void didTouchedBuyButtonAtIndex(int64_t index, TsIAPShopView* shopView) = 0;
};

// A turning ring while animating; nothing otherwise.
class TsLoadingIndicator : public QWidget {
  Q_OBJECT
 public:
  explicit TsLoadingIndicator(QWidget* parent = nullptr);
  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return animating_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QVariantAnimation* turn_;
  double angle_ = 0;
  bool animating_ = false;
};

class TsIAPShopView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kRowHeight = 100;

  explicit TsIAPShopView(QWidget* parent = nullptr);

  // Rebuilds every row: title, description and local price of each product ("" for any missing
  // or unformattable one), rows tagged 0, 1, ... in the given order.
  void updateWithProducts(const std::vector<storekit::Product>& products);
  void buyButtonTouched(int64_t tag);
  // Places the container, indicator and finish button for the current size.
  void layoutSubviews();

  void setDelegate(TsIAPShopViewDelegate* delegate) { delegate_ = delegate; }
  const std::vector<TsIAPShopItemView*>& shopItems() const { return shopItems_; }
  TsLoadingIndicator* loadingIndicator() const { return loadingIndicator_; }
  QPushButton* finishButton() const { return finishButton_; }
  QWidget* itemsContainer() const { return itemsContainer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::vector<TsIAPShopItemView*> shopItems_;
  TsLoadingIndicator* loadingIndicator_;
  QPushButton* finishButton_;
  QWidget* itemsContainer_;
  TsIAPShopViewDelegate* delegate_ = nullptr;
};
