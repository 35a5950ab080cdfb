#include "ui/Sections/Login/TsPhoneTextField.h"

#include <QGraphicsOpacityEffect>
#include <QPalette>

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsCountryCodeProvider.h"

using namespace gelmora::ui;

namespace {
constexpr int kIconSize = 21;
constexpr int kGap = 10;
constexpr int kCodeWidth = 70;
constexpr int kLabelHeight = 25;
constexpr int kButtonHeight = 30;
constexpr int kFieldHeight = 21;
}  // namespace

TsPhoneTextField::TsPhoneTextField(QWidget* parent, const TsCountryCodeProvider* provider)
    : QWidget(parent), provider_(provider ? provider : &TsCountryCodeProvider::sharedInstance()) {
  auto& style = TsStyleSheet::sharedInstance();
  iconView_ = new QLabel(this);
  iconView_->setPixmap(Images::named("ic_account"));
  iconView_->setScaledContents(true);

  countryCodeLabel_ = new QLineEdit(this);
  countryCodeLabel_->setReadOnly(true);
  countryCodeLabel_->setFocusPolicy(Qt::NoFocus);
  countryCodeLabel_->setAlignment(Qt::AlignCenter);
  countryCodeLabel_->setFont(style.h3());
  const QColor line = style.lightGray();
  const QColor text = style.darkGray();
  countryCodeLabel_->setStyleSheet(
      QStringLiteral("QLineEdit { border: 1px solid rgb(%1,%2,%3); border-radius: 12px;"
                     " background: transparent; color: rgb(%4,%5,%6); padding: 0; }")
          .arg(line.red())
          .arg(line.green())
          .arg(line.blue())
          .arg(text.red())
          .arg(text.green())
          .arg(text.blue()));

  // Fully transparent but taking the clicks over the label: a click opens the country list.
  countryCodeButton_ = new QComboBox(this);
  countryCodeButton_->setFocusPolicy(Qt::NoFocus);
  auto* invisible = new QGraphicsOpacityEffect(countryCodeButton_);
  invisible->setOpacity(0.0);
  countryCodeButton_->setGraphicsEffect(invisible);

  textField_ = new TsTextField(this);
  textField_->setFrame(false);
  textField_->setFont(style.h4());
  textField_->setPlaceholderText(L10n::text("请输入手机号"));
  textField_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette pal = textField_->palette();
  pal.setColor(QPalette::PlaceholderText, style.lightGray());
  textField_->setPalette(pal);

  bottomLine_ = new QWidget(this);
  setBackgroundColor(bottomLine_, QColor::fromRgbF(0.91f, 0.93f, 0.94f));

  fillCountryCodeData();
  connect(countryCodeButton_, &QComboBox::activated, this, [this] { updateCountryCode(); });
  layoutParts();
}

void TsPhoneTextField::fillCountryCodeData() {
  for (const auto& item : provider_->items())
    countryCodeButton_->addItem(QStringLiteral("%1  %2").arg(
        QString::fromStdString(item->countryName), QString::fromStdString(item->countryCode)));
  updateCountryCode();
}

void TsPhoneTextField::updateCountryCode() {
  const int i = countryCodeButton_->currentIndex();
  const auto& items = provider_->items();
  // An empty list selects nothing: the label stays empty.
  const bool known = i >= 0 && size_t(i) < items.size();
  countryCodeLabel_->setText(known ? QString::fromStdString(items[size_t(i)]->countryCode)
                                   : QString());
}

void TsPhoneTextField::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsPhoneTextField::layoutParts() {
  const int h = height();
  iconView_->setGeometry(0, (h - kIconSize) / 2, kIconSize, kIconSize);
  const int codeX = kIconSize + kGap;
  countryCodeLabel_->setGeometry(codeX, (h - kLabelHeight) / 2, kCodeWidth, kLabelHeight);
  countryCodeButton_->setGeometry(codeX, (h - kButtonHeight) / 2, kCodeWidth, kButtonHeight);
  const int fieldX = codeX + kCodeWidth + kGap;
  textField_->setGeometry(fieldX, (h - kFieldHeight) / 2, std::max(0, width() - fieldX),
                          kFieldHeight);
  bottomLine_->setGeometry(0, h - 1, width(), 1);
}
