#include "ui/Sections/Me/TsUserInfoLabel.h"

#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

TsUserInfoLabel::TsUserInfoLabel(QWidget* parent) : QWidget(parent) { build(QString()); }

TsUserInfoLabel::TsUserInfoLabel(const QString& title, QWidget* parent) : QWidget(parent) {
  build(title);
}

void TsUserInfoLabel::build(const QString& title) {
  const auto& style = TsStyleSheet::sharedInstance();
  for (QLabel** label : {&titleLabel_, &infoLabel_}) {
    *label = new QLabel(title, this);
    (*label)->setFont(style.h3());
    (*label)->setStyleSheet(
        QString("color: %1; background: transparent;").arg(style.darkWhite().name()));
  }
  titleLabel_->setObjectName("titleLabel");
  infoLabel_->setObjectName("infoLabel");
  bottomLine_ = new QWidget(this);
  bottomLine_->setObjectName("bottomLine");
  gelmora::ui::setBackgroundColor(bottomLine_, QColor::fromRgbF(0.21f, 0.27f, 0.35f));
}

void TsUserInfoLabel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The title at its own size on the left, the info from 10 past it to the right edge, both
  // centred vertically; the line along the bottom.
  const QSize t = titleLabel_->sizeHint();
  titleLabel_->setGeometry(0, (height() - t.height()) / 2, t.width(), t.height());
  const int infoLeft = t.width() + 10;
  infoLabel_->setGeometry(infoLeft, (height() - t.height()) / 2, std::max(0, width() - infoLeft),
                          t.height());
  bottomLine_->setGeometry(0, height() - 1, width(), 1);
}
