#include "ui/Kit/TsLoginTextField.h"

#include "ui/Kit/ViewHelpers.h"

namespace {
constexpr int kIconSize = 21;
constexpr int kFieldHeight = 21;
constexpr int kFieldGap = 10;
// The text field ends this far from the widget's right edge.
constexpr int kFieldRightInset = 200;
}  // namespace

TsLoginTextField::TsLoginTextField(const QPixmap& icon, bool isSecure, QWidget* parent)
    : QWidget(parent) {
  iconView_ = new QLabel(this);
  iconView_->setPixmap(icon);
  iconView_->setScaledContents(true);
  textField_ = isSecure ? new TsSecureTextField(this) : new TsTextField(this);
  textField_->setObjectName("textField");
  textField_->setFrame(false);
  bottomLine_ = new QWidget(this);
  gelmora::ui::setBackgroundColor(bottomLine_, QColor::fromRgbF(0.91f, 0.93f, 0.94f));
  layoutParts();
}

void TsLoginTextField::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsLoginTextField::layoutParts() {
  const int h = height();
  iconView_->setGeometry(0, (h - kIconSize) / 2, kIconSize, kIconSize);
  const int fieldX = kIconSize + kFieldGap;
  textField_->setGeometry(fieldX, (h - kFieldHeight) / 2,
                          std::max(0, width() - kFieldRightInset - fieldX), kFieldHeight);
  bottomLine_->setGeometry(0, h - 1, width(), 1);
}
