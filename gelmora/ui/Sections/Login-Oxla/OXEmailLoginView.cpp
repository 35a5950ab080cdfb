#include "ui/Sections/Login-Oxla/OXEmailLoginView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login-Oxla/OXFormStyle.h"

using namespace gelmora::ui;

namespace {
constexpr int kTabTag[] = {1001, 1002};
constexpr int kSelectedTabSize = 25;
constexpr int kOtherTabSize = 17;
}  // namespace

OXEmailLoginView::OXEmailLoginView(QWidget* parent) : QWidget(parent) {
  auto& style = TsStyleSheet::sharedInstance();
  centerView_ = new QWidget(this);

  emailLoginBtn_ = OXFormStyle::makeTab(centerView_, "login", kSelectedTabSize, style.darkGray());
  emailLoginBtn_->setObjectName("emailLoginBtn");
  emailLoginBtn_->setProperty("tag", kTabTag[0]);
  emailLoginBtn_->setState(1);
  emailSignupBtn_ =
      OXFormStyle::makeTab(centerView_, "signup_title", kOtherTabSize, style.darkGray());
  emailSignupBtn_->setObjectName("emailSignupBtn");
  emailSignupBtn_->setProperty("tag", kTabTag[1]);
  emailSignupBtn_->setState(0);
  for (auto* tab : {emailLoginBtn_, emailSignupBtn_})
    connect(tab, &QAbstractButton::clicked, this, [this, tab] { toggleLoginType(tab); });
  isLogin_ = true;

  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, OXFormStyle::ruleColor());

  emailField_ = new TsLoginTextField(Images::named("ic_email"), false, centerView_);
  emailField_->setObjectName("emailField");
  OXFormStyle::styleInput(emailField_, "input_email");
  codeTF_ = new TsLoginCodeTF(Images::named("ic_data"), false, centerView_);
  codeTF_->setObjectName("codeTF");
  OXFormStyle::styleInput(codeTF_, "enter_code");
  codeTF_->hide();  // alpha 0: never seen on either tab
  passwordField_ = new TsLoginTextField(Images::named("ic_data"), true, centerView_);
  passwordField_->setObjectName("passwordField");
  OXFormStyle::styleInput(passwordField_, "enter_password_notice");

  resetPasswordBtn_ = new DRFlatButton(passwordField_);
  resetPasswordBtn_->setMomentary(false);
  resetPasswordBtn_->setTitle(L10n::text("password_reset"));
  resetPasswordBtn_->setFont(OXFormStyle::boldSystemFont(15));
  const QColor linkBlue = QColor::fromRgbF(0.39f, 0.43f, 0.93f);
  resetPasswordBtn_->setTitleNormalColor(linkBlue);
  resetPasswordBtn_->setTitleHighlightColor(linkBlue);
  resetPasswordBtn_->hide();

  loginButton_ = new TsFlatButton(centerView_);
  loginButton_->setObjectName("loginButton");
  loginButton_->setTitle(L10n::text("login_button"));
  loginButton_->setOnlyBorder(false);
  signupButton_ = new TsFlatButton(centerView_);
  signupButton_->setObjectName("signupButton");
  signupButton_->setTitle(L10n::text("signup_button"));
  signupButton_->setOnlyBorder(false);

  thirdLoginContainerView_ = new QWidget(centerView_);

  toggleLogin(true);
  configThirdLoginButtons();
  resize(650, 600);
  layoutParts();
}

void OXEmailLoginView::configThirdLoginButtons() {
  QWidget* row = thirdLoginContainerView_;
  wechat_ = OXFormStyle::makeProviderButton(this, "ic_login_wc");
  qq_ = OXFormStyle::makeProviderButton(this, "ic_login_qq");
  facebook_ = OXFormStyle::makeProviderButton(row, "ic_login_facebook");
  ins_ = OXFormStyle::makeProviderButton(row, "ic_login_ins");
  gg_ = OXFormStyle::makeProviderButton(row, "ic_login_gg");
  tt_ = OXFormStyle::makeProviderButton(row, "ic_login_tt");
  sina_ = OXFormStyle::makeProviderButton(this, "ic_login_sina");
  line_ = OXFormStyle::makeProviderButton(row, "ic_login_line");
  kakao_ = OXFormStyle::makeProviderButton(row, "ic_login_kakao");
  // WeChat, QQ and Sina are made but never shown.
  for (auto* hidden : {wechat_, qq_, sina_}) hidden->hide();
  shownProviders_ = {facebook_, ins_, gg_, tt_, line_, kakao_};
}

void OXEmailLoginView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void OXEmailLoginView::layoutParts() {
  centerView_->setGeometry(rect().adjusted(100, 100, -100, -80));
  const int w = centerView_->width();
  const int h = centerView_->height();
  emailLoginBtn_->setGeometry(0, 0, 155, 30);
  emailSignupBtn_->setGeometry(155, 0, 155, 30);
  topLineView_->setGeometry(0, 30 + 10, w, 1);
  int y = topLineView_->geometry().bottom() + 1 + 30;
  emailField_->setGeometry(0, y, w, 45);
  y += 45 + codeFieldOffset_;
  codeTF_->setGeometry(0, y, w, codeFieldHeight_);
  y += codeFieldHeight_ + 30;
  passwordField_->setGeometry(0, y, w, 40);
  resetPasswordBtn_->setGeometry(passwordField_->width() - 200, 0, 200, passwordField_->height());
  // The provider row sticks out 20 points under the centre area.
  thirdLoginContainerView_->setGeometry((w - 400) / 2, h + 20 - 80, 400, 80);
  const int buttonBottom = thirdLoginContainerView_->y() - 30;
  loginButton_->setGeometry(10, buttonBottom - 44, w - 20, 44);
  signupButton_->setGeometry(10, buttonBottom - 44, w - 20, 44);
  OXFormStyle::layoutProviderRow(thirdLoginContainerView_, shownProviders_);
}

void OXEmailLoginView::toggleLogin(bool isLogin) {
  loginButton_->setVisible(isLogin);
  signupButton_->setVisible(!isLogin);
  codeFieldHeight_ = 0;
  codeFieldOffset_ = 0;
  resetPasswordBtn_->hide();
  emailField_->textField()->setText(QString());
  passwordField_->textField()->setText(QString());
  codeTF_->textField()->setText(QString());
  layoutParts();
}

void OXEmailLoginView::toggleLoginType(DRFlatButton* sender) {
  const bool loginClicked = sender == emailLoginBtn_;
  // A click on the selected tab only turns it on.
  if (isLogin_ && loginClicked) {
    emailLoginBtn_->setState(1);
    return;
  }
  if (!isLogin_ && !loginClicked) {
    emailSignupBtn_->setState(1);
    return;
  }
  isLogin_ = loginClicked;
  DRFlatButton* other = loginClicked ? emailSignupBtn_ : emailLoginBtn_;
  other->setFont(OXFormStyle::boldSystemFont(kOtherTabSize));
  other->setState(0);
  sender->setFont(OXFormStyle::boldSystemFont(kSelectedTabSize));
  sender->setState(0);
  toggleLogin(loginClicked);
  Q_EMIT loginTypeToggled(loginClicked);
}
