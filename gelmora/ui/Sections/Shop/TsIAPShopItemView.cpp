#include "ui/Sections/Shop/TsIAPShopItemView.h"

#include <QPainter>

#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {

const QColor kBoxColor(242, 242, 242);
const QColor kBorderColor(207, 207, 207);

// The grey box with its one-pixel border.
class BoxView : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), kBorderColor);
    p.fillRect(rect().adjusted(1, 1, -1, -1), kBoxColor);
  }
};

QLabel* label(QWidget* parent, const QColor& text, const QColor& background, const QFont& font) {
  auto* l = new QLabel(QStringLiteral(" "), parent);
  l->setFont(font);
  l->setAutoFillBackground(true);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, text);
  pal.setColor(QPalette::Window, background);
  l->setPalette(pal);
  l->setTextInteractionFlags(Qt::NoTextInteraction);
  return l;
}

}  // namespace

TsIAPShopItemView::TsIAPShopItemView(QWidget* parent) : QWidget(parent) {
  const auto& style = TsStyleSheet::sharedInstance();
  gelmora::ui::setBackgroundColor(this, Qt::white);
  containerView_ = new BoxView(this);
  subTitleLabel_ = label(this, QColor(128, 128, 128), Qt::white, style.h4());
  titleLabel_ = label(containerView_, Qt::black, kBoxColor, style.h3());
  priceLabel_ = label(containerView_, QColor(128, 128, 128), kBoxColor, style.h3());
  buyButton_ = new TsFlatButton(containerView_);
  buyButton_->setObjectName("buyButton");
  buyButton_->setTitle(gelmora::ui::L10n::text("购买"));
  buyButton_->setOnlyBorder(false);
}

void TsIAPShopItemView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  containerView_->setGeometry(0, 0, w, kBoxHeight);
  subTitleLabel_->setGeometry(0, kBoxHeight + 10, w, std::max(0, height() - kBoxHeight - 10));
  const int lineHeight = titleLabel_->sizeHint().height();
  const int labelTop = (kBoxHeight - lineHeight) / 2;
  titleLabel_->setGeometry(10, labelTop, 150, lineHeight);
  priceLabel_->setGeometry(160, labelTop, 100, lineHeight);
  buyButton_->setGeometry(w - 10 - 70, (kBoxHeight - 35) / 2, 70, 35);
}
