#include "ui/Sections/Login-Oxla/OXEmailResetPassView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login-Oxla/OXFormStyle.h"

using namespace gelmora::ui;

OXEmailResetPassView::OXEmailResetPassView(QWidget* parent) : QWidget(parent) {
  auto& style = TsStyleSheet::sharedInstance();
  centerView_ = new QWidget(this);

  // The heading is an "on" tab-like button; it takes no clicks, so its title stays white.
  emailLoginBtn_ = OXFormStyle::makeTab(centerView_, "reset_password_title", 25, QColor(Qt::white));
  emailLoginBtn_->setProperty("tag", 1001);
  emailLoginBtn_->setState(1);
  emailLoginBtn_->setAttribute(Qt::WA_TransparentForMouseEvents);

  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, OXFormStyle::ruleColor());

  emailField_ = new TsLoginTextField(Images::named("ic_email"), false, centerView_);
  OXFormStyle::styleInput(emailField_, "input_email_notice");
  codeTF_ = new TsLoginCodeTF(Images::named("ic_data"), false, centerView_);
  OXFormStyle::styleInput(codeTF_, "enter_code");
  passwordField_ = new TsLoginTextField(Images::named("ic_data"), true, centerView_);
  OXFormStyle::styleInput(passwordField_, "enter_password_notice");

  resetButton_ = new TsFlatButton(centerView_);
  resetButton_->setTitle(L10n::text("reset_password_button"));
  resetButton_->setOnlyBorder(false);

  emailLoginButton_ = new DRFlatButton(centerView_);
  emailLoginButton_->setMomentary(true);
  emailLoginButton_->setTitle(L10n::text("via_email_button"));
  emailLoginButton_->setFont(style.fontWithSize(17));
  const QColor grey = QColor::fromRgbF(0.44f, 0.43f, 0.48f);
  emailLoginButton_->setTitleNormalColor(grey);
  emailLoginButton_->setTitleHighlightColor(QColor(Qt::white));
  emailLoginButton_->setBorderNormalColor(grey);
  emailLoginButton_->setBorderHighlightColor(QColor(Qt::white));
  emailLoginButton_->setBorderWidth(1);
  emailLoginButton_->setCornerRadius(22);

  resize(650, 600);
  layoutParts();
}

void OXEmailResetPassView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void OXEmailResetPassView::layoutParts() {
  centerView_->setGeometry(rect().adjusted(100, 100, -100, -80));
  const int w = centerView_->width();
  const int h = centerView_->height();
  emailLoginBtn_->setGeometry(0, 0, 200, 30);
  topLineView_->setGeometry(0, 40, w, 1);
  int y = 41 + 30;
  emailField_->setGeometry(0, y, w, 45);
  y += 45 + 30;
  codeTF_->setGeometry(0, y, w, 40);
  y += 40 + 30;
  passwordField_->setGeometry(0, y, w, 40);
  emailLoginButton_->setGeometry(10, h - 44, w - 20, 44);
  resetButton_->setGeometry(10, emailLoginButton_->y() - 20 - 44, w - 20, 44);
}
