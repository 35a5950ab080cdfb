#include "ui/Sections/Login/TsPhoneBindView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

TsPhoneBindView::TsPhoneBindView(QWidget* parent, const TsCountryCodeProvider* provider)
    : QWidget(parent) {
  initUI(provider);
}

void TsPhoneBindView::initUI(const TsCountryCodeProvider* provider) {
  setBackgroundColor(this, TsPanelStyle::panelColor());
  titleLabel_ =
      TsPanelStyle::makeLabel(this, L10n::text("手机绑定"), TsPanelStyle::boldSystemFont(25),
                              QColor(Qt::white), Qt::AlignLeft | Qt::AlignVCenter);
  rule_ = new QWidget(this);
  setBackgroundColor(rule_, QColor(64, 60, 85));

  phoneTextField_ = new TsPhoneTextField(this, provider);
  TsPanelStyle::styleInput(phoneTextField_->textField(), phoneTextField_->bottomLine(), nullptr);

  codeTextField_ = new TsLoginCodeTF(Images::named("ic_data"), false, this);
  TsPanelStyle::styleInput(codeTextField_->textField(), codeTextField_->bottomLine(),
                           "请输入验证码");

  confirmButton_ = new TsFlatButton(this);
  confirmButton_->setTitle(L10n::text("立即绑定"));
  confirmButton_->setOnlyBorder(false);

  skipButton_ = TsPanelStyle::makeSkipButton(this);
  skipButton_->hide();

  closeButton_ = new QPushButton(this);
  closeButton_->setFlat(true);
  closeButton_->setIcon(Images::icon("ic_close_dark"));
  closeButton_->setIconSize(QSize(20, 20));
  closeButton_->setStyleSheet("QPushButton { border: none; background: transparent; }");
  closeButton_->hide();

  connect(skipButton_, &QAbstractButton::clicked, this, [this] { skipBind(); });
  connect(closeButton_, &QAbstractButton::clicked, this, [this] { skipBind(); });
  resize(600, 500);
  layoutParts();
}

void TsPhoneBindView::skipBind() {
  if (skipBlock_) skipBlock_();
}

void TsPhoneBindView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsPhoneBindView::layoutParts() {
  const int w = width() - 120;
  closeButton_->setGeometry(width() - 40, 20, 20, 20);
  titleLabel_->setGeometry(60, 60, w, 45);
  rule_->setGeometry(60, 60 + 45 + 10, w, 2);
  phoneTextField_->setGeometry(60, rule_->y() + 2 + 40, w, 45);
  codeTextField_->setGeometry(60, phoneTextField_->y() + 45 + 40, w, 40);
  confirmButton_->setGeometry(60, codeTextField_->y() + 40 + 50, w, 44);
  skipButton_->setGeometry((width() - 90) / 2, confirmButton_->y() + 44 + 40, 90, 30);
}
