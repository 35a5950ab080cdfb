#pragma once
// One row of the shop's product list (full width, 100 high): a grey box with the title, the
// price and a buy button, and the description under it.
#include <QLabel>
#include <QWidget>

class TsFlatButton;

class TsIAPShopItemView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHeight = 100;
  static constexpr int kBoxHeight = 60;

  explicit TsIAPShopItemView(QWidget* parent = nullptr);

  QLabel* titleLabel() const { return titleLabel_; }
  QLabel* subTitleLabel() const { return subTitleLabel_; }
  QLabel* priceLabel() const { return priceLabel_; }
  TsFlatButton* buyButton() const { return buyButton_; }
  QWidget* containerView() const { return containerView_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QLabel* titleLabel_;
  QLabel* subTitleLabel_;
  QLabel* priceLabel_;
  TsFlatButton* buyButton_;
  QWidget* containerView_;
};
