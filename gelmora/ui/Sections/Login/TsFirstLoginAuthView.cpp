#include "ui/Sections/Login/TsFirstLoginAuthView.h"

#include <QPalette>

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

namespace {

QLabel* label(QWidget* parent, const char* key, const QFont& font, const QColor& colour) {
  auto* l = new QLabel(L10n::text(key), parent);
  l->setFont(font);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, colour);
  l->setPalette(pal);
  return l;
}

}  // namespace

TsFirstLoginAuthView::TsFirstLoginAuthView(QWidget* parent, std::optional<std::string> webDomain,
                                           UrlOpener* opener)
    : QWidget(parent) {
  auto& style = TsStyleSheet::sharedInstance();
  adView_ = new TsDragableImageView(this);
  // Fills the panel, scaled on both axes.
  adView_->setPixmap(Images::named("ad"));
  adView_->setScaledContents(true);
  logoView_ = new QLabel(this);
  logoView_->setPixmap(Images::named("ic_logo_light"));
  logoView_->hide();
  formView_ = new QWidget(this);
  setBackgroundColor(formView_, QColor(Qt::white));
  closeButton_ = new QPushButton(this);
  closeButton_->setFlat(true);
  closeButton_->setIcon(Images::icon("ic_close_dark"));
  closeButton_->setIconSize(QSize(20, 20));
  closeButton_->setStyleSheet("QPushButton { border: none; background: transparent; }");
  centerView_ = new QWidget(formView_);

  welcomeTitleLabel_ =
      label(centerView_, "欢迎您回来", TsPanelStyle::boldSystemFont(15), style.darkGray());
  noAccountLabel_ = label(centerView_, "还没有账号？", style.h4(), style.lightGray());
  registerButton_ = new TsHyperlinkTextField(centerView_, opener);
  registerButton_->setFont(style.h4());
  const std::string host = webDomain ? *webDomain : TsPanelStyle::brandWebDomain();
  registerButton_->setHtml(TsPanelStyle::linkHtml(
      L10n::text("立即注册"), "http://" + host + "/#register", style.lightBlue()));
  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, QColor::fromRgbF(0.82f, 0.86f, 0.9f));
  subTitle1_ = label(centerView_, "检测到您已更换登录设备，\n为保证您的账号安全，请验证您的手机。",
                     style.h3(), style.lightGray());
  subTitle2_ = label(centerView_, "验证手机号", style.h3(), style.darkGray());
  subTitle3_ = label(centerView_, "短信已发送，请等待", style.h4(), style.lightGray());
  secondsLabel_ = label(centerView_, "60s", style.h4(), style.lightBlue());
  codeButton_ = new TsFlatButton(centerView_);
  codeButton_->setTitle(L10n::text("重新获取验证码"));
  codeButton_->setOnlyBorder(false);
  codeButton_->hide();
  codeField_ = new TsLoginTextField(Images::named("ic_data"), false, centerView_);
  codeField_->textField()->setPlaceholderText(L10n::text("请输入短信验证码"));
  codeField_->textField()->setFont(style.h4());
  QPalette pal = codeField_->textField()->palette();
  pal.setColor(QPalette::PlaceholderText, style.lightGray());
  pal.setColor(QPalette::Text, style.darkGray());
  codeField_->textField()->setPalette(pal);
  loginButton_ = new TsFlatButton(centerView_);
  loginButton_->setTitle(L10n::text("yes_button"));
  loginButton_->setOnlyBorder(false);
  resize(950, 600);
  layoutParts();
}

void TsFirstLoginAuthView::setPhoneNumber(const QString& phone) {
  phoneNumber_ = phone;
  subTitle2_->setText(L10n::text("验证手机号") + QLatin1Char(' ') + phone);
  layoutParts();
}

void TsFirstLoginAuthView::updateLastSecond(long n) {
  secondsLabel_->setText(QStringLiteral("%1s").arg(n));
  const bool counting = n > 0;
  subTitle3_->setVisible(counting);
  secondsLabel_->setVisible(counting);
  codeButton_->setVisible(!counting);
  layoutParts();
}

void TsFirstLoginAuthView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsFirstLoginAuthView::layoutParts() {
  adView_->setGeometry(rect());
  logoView_->setGeometry(20, 20, logoView_->sizeHint().width(), logoView_->sizeHint().height());
  formView_->setGeometry(226, 0, std::max(0, width() - 226), height());
  closeButton_->setGeometry(width() - 44, 0, 44, 44);
  centerView_->setGeometry(formView_->rect().adjusted(60, 70, -60, -70));
  const int w = centerView_->width();
  const int h = centerView_->height();
  auto fit = [](QLabel* l) { l->resize(l->sizeHint()); };
  for (QLabel* l : {welcomeTitleLabel_, noAccountLabel_, subTitle2_, subTitle3_, secondsLabel_})
    fit(l);
  welcomeTitleLabel_->move(0, 0);
  const int welcomeBottom = welcomeTitleLabel_->height();
  const QSize link = registerButton_->sizeHint();
  registerButton_->setGeometry(w - link.width(), welcomeBottom - link.height(), link.width(),
                               link.height());
  noAccountLabel_->move(registerButton_->x() - noAccountLabel_->width(),
                        welcomeBottom - noAccountLabel_->height());
  topLineView_->setGeometry(0, welcomeBottom + 10, w, 1);
  // Two lines; the last visible one is cut when space is short.
  subTitle1_->setGeometry(0, topLineView_->y() + 1 + 20, w, subTitle1_->sizeHint().height());
  subTitle2_->move(0, subTitle1_->y() + subTitle1_->height() + 30);
  const int below = subTitle2_->y() + subTitle2_->height();
  subTitle3_->move(0, below);
  secondsLabel_->move(subTitle3_->width(), below);
  codeButton_->setGeometry(0, below + 5, 200, 38);
  codeField_->setGeometry(0, below + subTitle3_->height() + 30, w, 35);
  loginButton_->setGeometry(0, h - 44, w, 44);
}
