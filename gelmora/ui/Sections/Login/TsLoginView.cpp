#include "ui/Sections/Login/TsLoginView.h"

#include <QPalette>

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login-Oxla/OXFormStyle.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

namespace {
constexpr int kSelectedTab = 25;
constexpr int kOtherTab = 17;

QLabel* plainLabel(QWidget* parent, const char* key, const QFont& font, const QColor& colour) {
  auto* l = new QLabel(L10n::text(key), parent);
  l->setFont(font);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, colour);
  l->setPalette(pal);
  return l;
}
}  // namespace

TsLoginView::TsLoginView(QWidget* parent) : TsLoginView(Options{}, parent) {}

TsLoginView::TsLoginView(Options o, QWidget* parent) : QWidget(parent) {
  auto& style = TsStyleSheet::sharedInstance();
  adView_ = new TsDragableImageView(this);
  adView_->setImage(Images::named("ic_login_left_bg"));
  logoView_ = new QLabel(this);
  logoView_->setPixmap(Images::named("ic_logo_light"));
  logoView_->hide();
  formView_ = new QWidget(this);
  setBackgroundColor(formView_, style.backgroundColor());
  closeButton_ = new QPushButton(this);
  closeButton_->setFlat(true);
  closeButton_->setIcon(Images::icon("ic_close_dark"));
  closeButton_->hide();
  centerView_ = new QWidget(formView_);

  phoneLoginBtn_ = OXFormStyle::makeTab(centerView_, "登录/注册", kSelectedTab, style.darkGray());
  phoneLoginBtn_->setProperty("tag", 1001);
  phoneLoginBtn_->setState(1);
  pwdLoginBtn_ = OXFormStyle::makeTab(centerView_, "邮箱登录", kOtherTab, style.darkGray());
  pwdLoginBtn_->setProperty("tag", 1002);
  pwdLoginBtn_->setState(0);
  for (auto* tab : {phoneLoginBtn_, pwdLoginBtn_})
    connect(tab, &QAbstractButton::clicked, this, [this, tab] { toggleLoginType(tab); });

  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, QColor(54, 51, 70));

  userNameField_ = new TsPhoneTextField(centerView_, o.countryCodes);
  emailField_ = new TsLoginTextField(Images::named("ic_email"), false, centerView_);
  OXFormStyle::styleInput(emailField_, "请输入您的邮箱");
  passwordField_ = new TsLoginTextField(Images::named("ic_data"), true, centerView_);
  OXFormStyle::styleInput(passwordField_, "请输入登录密码");
  passwordField_->hide();
  codeTF_ = new TsLoginCodeTF(Images::named("ic_data"), false, centerView_);
  OXFormStyle::styleInput(codeTF_, "请输入验证码");
  {
    // The phone field on the form's colours.
    QLineEdit* text = userNameField_->textField();
    QPalette pal = text->palette();
    pal.setColor(QPalette::Base, style.backgroundColor());
    pal.setColor(QPalette::Text, Qt::white);
    text->setPalette(pal);
    text->setAutoFillBackground(true);
    setBackgroundColor(userNameField_->bottomLine(), QColor(54, 51, 70));
  }
  setTabOrder(userNameField_->textField(), passwordField_->textField());
  setTabOrder(emailField_->textField(), passwordField_->textField());

  loginButton_ = new TsFlatButton(centerView_);
  loginButton_->setTitle(L10n::text("登录"));
  loginButton_->setOnlyBorder(false);

  autoLoginButton_ = new QCheckBox(L10n::text("自动登录"), centerView_);
  autoLoginButton_->setFont(style.h4());
  {
    QPalette pal = autoLoginButton_->palette();
    pal.setColor(QPalette::WindowText, style.lightGray());
    autoLoginButton_->setPalette(pal);
  }

  const std::string host = o.webDomain ? *o.webDomain : TsPanelStyle::brandWebDomain();
  findPassButton_ = new TsHyperlinkTextField(centerView_, o.opener);
  findPassButton_->setFont(style.h4());
  findPassButton_->setHtml(
      TsPanelStyle::linkHtml(L10n::text("找回密码"), "http://" + host + "/#forget", Qt::white));
  findPassButton_->hide();
  welcomeTitleLabel_ =
      plainLabel(centerView_, "欢迎您回来", OXFormStyle::boldSystemFont(15), style.darkGray());
  welcomeTitleLabel_->hide();
  noAccountLabel_ = plainLabel(centerView_, "还没有账号？", style.h4(), style.lightGray());
  noAccountLabel_->hide();
  registerButton_ = new TsHyperlinkTextField(centerView_, o.opener);
  registerButton_->setFont(style.h4());
  registerButton_->setHtml(
      TsPanelStyle::linkHtml(L10n::text("立即注册"), "http://" + host + "/#register", Qt::white));
  registerButton_->hide();

  togglePhoneButton_ = new DRFlatButton(centerView_);
  togglePhoneButton_->setMomentary(true);
  togglePhoneButton_->setFont(style.h4());
  togglePhoneButton_->setTitleNormalColor(style.lightBlue());
  togglePhoneButton_->setTitleHighlightColor(QColor(Qt::white));
  connect(togglePhoneButton_, &QAbstractButton::clicked, this,
          [this] { togglePhoneButtonClicked(); });
  togglePhoneButton_->hide();

  thirdLoginContainerView_ = new QWidget(centerView_);
  splitLineView_ = new QWidget(thirdLoginContainerView_);
  setBackgroundColor(splitLineView_, QColor(54, 51, 70));
  thirdLoginLabel_ = plainLabel(thirdLoginContainerView_, "第三方登录",
                                OXFormStyle::boldSystemFont(12), style.lightGray());
  thirdLoginLabel_->setAlignment(Qt::AlignCenter);
  thirdLoginLabel_->setContentsMargins(8, 0, 8, 0);
  setBackgroundColor(thirdLoginLabel_, style.backgroundColor());
  for (const char* image : {"ic_login_wc", "ic_login_facebook", "ic_login_ins", "ic_login_gg",
                            "ic_login_tt", "ic_login_qq"})
    providers_.push_back(OXFormStyle::makeProviderButton(thirdLoginContainerView_, image));

  resize(950, 600);
  toggleEmailLogin(false);
}

void TsLoginView::toggleLoginType(DRFlatButton* sender) {
  const bool phone = sender == phoneLoginBtn_;
  if (isPhoneLogin_ && phone) {
    phoneLoginBtn_->setState(1);
    return;
  }
  if (!isPhoneLogin_ && !phone) {
    pwdLoginBtn_->setState(1);
    return;
  }
  isPhoneLogin_ = phone;
  DRFlatButton* other = phone ? pwdLoginBtn_ : phoneLoginBtn_;
  other->setFont(OXFormStyle::boldSystemFont(kOtherTab));
  other->setState(0);
  sender->setFont(OXFormStyle::boldSystemFont(kSelectedTab));
  sender->setState(1);
  codeTF_->setVisible(phone);
  passwordField_->setVisible(!phone);
  userNameField_->setVisible(phone);
  emailField_->setVisible(!phone);
  Q_EMIT isPhoneLoginChanged(phone);
}

void TsLoginView::toggleEmailLogin(bool emailLogin) {
  emailLogin_ = emailLogin;
  emailField_->setVisible(emailLogin);
  userNameField_->setVisible(!emailLogin);
  emailField_->textField()->setText(QString());
  userNameField_->textField()->setText(QString());
  togglePhoneButton_->setTitle(L10n::text(emailLogin ? "使用手机账号登录" : "使用邮箱账号登录"));
  layoutParts();
  Q_EMIT emailLoginChanged(emailLogin);
}

void TsLoginView::toggleLoginMethod() { toggleEmailLogin(!emailLogin_); }

void TsLoginView::togglePhoneButtonClicked() { toggleLoginMethod(); }

void TsLoginView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsLoginView::layoutParts() {
  const int h = height();
  adView_->setGeometry(0, 0, 352, h);
  logoView_->setGeometry(20, 40, logoView_->sizeHint().width(), logoView_->sizeHint().height());
  formView_->setGeometry(300, 0, std::max(0, width() - 300), h);
  centerView_->setGeometry(formView_->rect().adjusted(65, 50, -65, -30));
  const int w = centerView_->width();
  phoneLoginBtn_->setGeometry(0, 0, 155, 30);
  pwdLoginBtn_->setGeometry(155, 0, 130, 30);
  welcomeTitleLabel_->resize(welcomeTitleLabel_->sizeHint());
  welcomeTitleLabel_->move(0, 0);
  const QSize link = registerButton_->sizeHint();
  registerButton_->setGeometry(w - link.width(), welcomeTitleLabel_->height() - link.height(),
                               link.width(), link.height());
  noAccountLabel_->resize(noAccountLabel_->sizeHint());
  noAccountLabel_->move(registerButton_->x() - noAccountLabel_->width(),
                        welcomeTitleLabel_->height() - noAccountLabel_->height());
  topLineView_->setGeometry(0, 30 + 10, w, 2);
  const int nameY = 42 + 30;
  userNameField_->setGeometry(0, nameY, w, 45);
  emailField_->setGeometry(0, nameY, w, 45);
  const int lowerY = nameY + 45 + 30;
  passwordField_->setGeometry(0, lowerY, w, 40);
  codeTF_->setGeometry(0, lowerY, w, 40);
  loginButton_->setGeometry(0, lowerY + 40 + 40, w, 44);
  autoLoginButton_->resize(autoLoginButton_->sizeHint());
  autoLoginButton_->move(0, loginButton_->y() + 44 + 20);
  const QSize find = findPassButton_->sizeHint();
  findPassButton_->setGeometry(w - find.width(), lowerY + (40 - find.height()) / 2, find.width(),
                               find.height());
  const QSize toggle(160, 30);
  togglePhoneButton_->setGeometry(w - toggle.width(), nameY + (45 - toggle.height()) / 2,
                                  toggle.width(), toggle.height());
  thirdLoginContainerView_->setGeometry(
      (w - 400) / 2, autoLoginButton_->y() + autoLoginButton_->height() + 15, 400, 80);
  thirdLoginLabel_->resize(thirdLoginLabel_->sizeHint());
  thirdLoginLabel_->move((400 - thirdLoginLabel_->width()) / 2, 0);
  splitLineView_->setGeometry(10, thirdLoginLabel_->height() / 2, 380, 1);
  splitLineView_->lower();
  // Six badges at 42, equal gaps including both ends, 15 under the caption.
  const int n = int(providers_.size());
  const double gap = double(400 - n * 42) / (n + 1);
  const int top = thirdLoginLabel_->height() + 15;
  for (int i = 0; i < n; ++i)
    providers_[size_t(i)]->setGeometry(int(gap * (i + 1) + 42 * i + 0.5), top, 42, 42);
}
