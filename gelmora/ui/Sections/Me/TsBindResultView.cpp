#include "ui/Sections/Me/TsBindResultView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;

TsBindResultView::TsBindResultView(QWidget* parent) : QWidget(parent) {
  setObjectName("TsBindResultView");
  gelmora::ui::setBackgroundColor(this, QColor(42, 38, 66));
  const auto& style = TsStyleSheet::sharedInstance();
  topTF = gelmora::ui::makeMeLabel(this, "topTF", 17, QColor(255, 255, 255));
  topTF->setAlignment(Qt::AlignCenter);
  topTF->setText(text("bind_result_title"));
  titleTF = gelmora::ui::makeMeLabel(this, "titleTF", 15, style.darkWhite());
  titleTF->setAlignment(Qt::AlignCenter);
  titleTF->setWordWrap(true);
  closeButton = new QPushButton(this);
  closeButton->setObjectName("closeButton");
  closeButton->setFlat(true);
  closeButton->setIcon(gelmora::ui::Images::icon("ic_close"));
  closeButton->setStyleSheet("QPushButton { border: none; }");
  connect(closeButton, &QPushButton::clicked, this, [this] { close(); });
  confirmButton = new TsFlatButton(this);
  confirmButton->setObjectName("confirmButton");
  confirmButton->setFont(style.h3());
  connect(confirmButton, &QAbstractButton::clicked, this, [this] { confirm(); });
  // The caption of the confirm control is its own field, drawn over the button.
  confirmTF = gelmora::ui::makeMeLabel(confirmButton, "confirmTF", 15, QColor(255, 255, 255));
  confirmTF->setAlignment(Qt::AlignCenter);
  confirmTF->setAttribute(Qt::WA_TransparentForMouseEvents);
  confirmTF->setText(text("confirm_button"));
  resize(450, 235);
}

void TsBindResultView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  closeButton->setGeometry(width() - 36, 10, 26, 26);
  topTF->setGeometry(20, 24, width() - 40, 26);
  titleTF->setGeometry(30, 70, width() - 60, 60);
  confirmButton->setGeometry(65, height() - 74, width() - 130, 44);
  confirmTF->setGeometry(confirmButton->rect());
}

void TsBindResultView::close() {
  if (block_) block_();
}

void TsBindResultView::confirm() {
  if (block_) block_();
}
