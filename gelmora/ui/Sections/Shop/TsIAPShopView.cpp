#include "ui/Sections/Shop/TsIAPShopView.h"

#include <QPaintEvent>
#include <QPainter>
#include <QVariantAnimation>

#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Shop/TsIAPShopItemView.h"

TsLoadingIndicator::TsLoadingIndicator(QWidget* parent)
    : QWidget(parent), turn_(new QVariantAnimation(this)) {
  turn_->setStartValue(0.0);
  turn_->setEndValue(360.0);
  turn_->setLoopCount(-1);
  connect(turn_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    angle_ = v.toDouble();
    update();
  });
  hide();
}

void TsLoadingIndicator::startAnimation() {
  animating_ = true;
  turn_->setDuration(std::max(1, gelmora::ui::UiTiming::ms(1.0)));
  turn_->start();
  update();
}

void TsLoadingIndicator::stopAnimation() {
  animating_ = false;
  turn_->stop();
  update();
}

void TsLoadingIndicator::paintEvent(QPaintEvent*) {
  if (!animating_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(200, 200, 210), 3));
  const QRectF r = QRectF(rect()).adjusted(3, 3, -3, -3);
  p.drawArc(r, static_cast<int>(-angle_ * 16), 270 * 16);
}

TsIAPShopView::TsIAPShopView(QWidget* parent) : QWidget(parent) {
  itemsContainer_ = new QWidget(this);
  gelmora::ui::setBackgroundColor(itemsContainer_,
                                  TsStyleSheet::sharedInstance().backgroundColor());
  loadingIndicator_ = new TsLoadingIndicator(this);
  loadingIndicator_->setGeometry(20, 20, 30, 30);
  finishButton_ = new QPushButton(gelmora::ui::L10n::text("完成"), this);
  finishButton_->setObjectName("finishButton");
  finishButton_->setCheckable(true);
  finishButton_->hide();
  itemsContainer_->lower();
}

void TsIAPShopView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutSubviews();
}

void TsIAPShopView::layoutSubviews() {
  itemsContainer_->setGeometry(rect());
  finishButton_->setGeometry(width() - 20 - 70, height() - 10 - 30, 70, 30);
  loadingIndicator_->move(width() / 2 - 15, height() / 2 - 15);
  for (auto* row : shopItems_) gelmora::ui::Positioning::setWidth(row, itemsContainer_->width());
}

void TsIAPShopView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(event->rect(), Qt::white);
}

void TsIAPShopView::updateWithProducts(const std::vector<storekit::Product>& products) {
  for (auto* row : shopItems_) {
    row->hide();
    row->setParent(nullptr);
    row->deleteLater();
  }
  shopItems_.clear();
  layoutSubviews();
  const int width = itemsContainer_->width();
  int top = 0;
  for (size_t i = 0; i < products.size(); ++i) {
    const auto& product = products[i];
    auto* row = new TsIAPShopItemView(itemsContainer_);
    row->setObjectName(QString("shopItem%1").arg(i));
    row->setGeometry(0, top, width, kRowHeight);
    top += kRowHeight;
    shopItems_.push_back(row);
    gelmora::ui::setTextValue(row->titleLabel(),
                              QString::fromStdString(product.localizedTitle.value_or("")));
    gelmora::ui::setTextValue(row->subTitleLabel(),
                              QString::fromStdString(product.localizedDescription.value_or("")));
    gelmora::ui::setTextValue(row->priceLabel(),
                              QString::fromStdString(storekit::StoreHelper::localePrice(product)));
    const auto tag = static_cast<int64_t>(i);
    connect(row->buyButton(), &QAbstractButton::clicked, this,
            [this, tag] { buyButtonTouched(tag); });
    row->show();
  }
}

void TsIAPShopView::buyButtonTouched(int64_t tag) {
  if (delegate_) delegate_->didTouchedBuyButtonAtIndex(tag, this);
}
