#include "ui/Sections/Login/TsLoginCodeTF.h"

#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"

namespace {
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 30;
constexpr int kButtonGap = 10;

DRFlatButton* makeCodeButton(QWidget* parent, const char* titleKey) {
  auto* b = new DRFlatButton(parent);
  b->setFont(TsStyleSheet::sharedInstance().h4());
  b->setMomentary(true);
  b->setBackgroundNormalColor(QColor(59, 58, 131));
  b->setCornerRadius(15);
  b->setTitle(gelmora::ui::L10n::text(titleKey));
  b->setTitleNormalColor(QColor(Qt::white));
  b->setTitleHighlightColor(QColor(Qt::white));
  return b;
}
}  // namespace

TsLoginCodeTF::TsLoginCodeTF(const QPixmap& icon, bool isSecure, QWidget* parent)
    : TsLoginTextField(icon, isSecure, parent) {
  initUI();
}

void TsLoginCodeTF::initUI() {
  codeBtn_ = makeCodeButton(this, "短信验证码");
  voiceCodeBtn_ = makeCodeButton(this, "语音验证码");
  voiceCodeBtn_->hide();
  layoutButtons();
}

void TsLoginCodeTF::resizeEvent(QResizeEvent* event) {
  TsLoginTextField::resizeEvent(event);
  layoutButtons();
}

void TsLoginCodeTF::layoutButtons() {
  // Both centred on the inner text field, the code button at the right end.
  const int centreY = textField()->geometry().center().y() + 1;
  const int y = centreY - kButtonHeight / 2;
  codeBtn_->setGeometry(width() - kButtonWidth, y, kButtonWidth, kButtonHeight);
  voiceCodeBtn_->setGeometry(width() - 2 * kButtonWidth - kButtonGap, y, kButtonWidth,
                             kButtonHeight);
}
