#include "ui/Sections/Login-Oxla/OXBindEmailView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

OXBindEmailView::OXBindEmailView(QWidget* parent) : QWidget(parent) {
  setBackgroundColor(this, TsPanelStyle::panelColor());
  centerView_ = new QWidget(this);

  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, QColor::fromRgbF(0.21f, 0.2f, 0.27f));

  emailLoginBtn_ = new DRFlatButton(centerView_);
  emailLoginBtn_->setMomentary(false);
  emailLoginBtn_->setState(1);
  emailLoginBtn_->setProperty("tag", 1001);
  emailLoginBtn_->setTitle(L10n::text("link_email"));
  emailLoginBtn_->setFont(TsPanelStyle::boldSystemFont(25));
  emailLoginBtn_->setTitleHighlightColor(QColor(Qt::white));

  emailField_ = new TsLoginTextField(Images::named("ic_email"), false, centerView_);
  TsPanelStyle::styleInput(emailField_->textField(), emailField_->bottomLine(),
                           "input_email_notice");
  codeTF_ = new TsLoginCodeTF(Images::named("ic_data"), false, centerView_);
  TsPanelStyle::styleInput(codeTF_->textField(), codeTF_->bottomLine(), "enter_code_notice");
  passwordField_ = new TsLoginTextField(Images::named("ic_data"), true, centerView_);
  TsPanelStyle::styleInput(passwordField_->textField(), passwordField_->bottomLine(),
                           "password_input_notice");

  resetButton_ = new TsFlatButton(centerView_);
  resetButton_->setTitle(L10n::text("confirm_to_link"));
  resetButton_->setOnlyBorder(false);

  const QColor grey = QColor::fromRgbF(0.44f, 0.43f, 0.48f);
  emailLoginButton_ = new DRFlatButton(centerView_);
  emailLoginButton_->setMomentary(true);
  emailLoginButton_->setTitle(L10n::text("cancel"));
  emailLoginButton_->setFont(TsStyleSheet::sharedInstance().fontWithSize(17));
  emailLoginButton_->setTitleNormalColor(grey);
  emailLoginButton_->setTitleHighlightColor(QColor(Qt::white));
  emailLoginButton_->setBorderNormalColor(grey);
  emailLoginButton_->setBorderHighlightColor(QColor(Qt::white));
  emailLoginButton_->setBorderWidth(1);
  emailLoginButton_->setCornerRadius(22);
  connect(emailLoginButton_, &QAbstractButton::clicked, this, [this] { cancel(); });

  resize(600, 500);
  layoutParts();
}

void OXBindEmailView::cancel() { hide(); }

void OXBindEmailView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void OXBindEmailView::layoutParts() {
  centerView_->setGeometry(rect().adjusted(50, 50, -50, -50));
  const int w = centerView_->width();
  const int h = centerView_->height();
  emailLoginBtn_->setGeometry(0, 0, 200, 30);
  topLineView_->setGeometry(0, 30 + 10, w, 1);
  emailField_->setGeometry(0, topLineView_->y() + 1 + 30, w, 45);
  codeTF_->setGeometry(0, emailField_->y() + 45 + 30, w, 40);
  passwordField_->setGeometry(0, codeTF_->y() + 40 + 30, w, 40);
  emailLoginButton_->setGeometry(10, h - 44, w - 20, 44);
  resetButton_->setGeometry(10, emailLoginButton_->y() - 20 - 44, w - 20, 44);
}
