#include "ui/Sections/Login-Oxla/OXUnionLoginView.h"

#include "ui/Kit/L10n.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login-Oxla/OXFormStyle.h"

using namespace gelmora::ui;

namespace {
QLabel* makeLabel(QWidget* parent, const char* key, const QColor& colour, int size) {
  auto* l = new QLabel(L10n::text(key), parent);
  l->setFont(OXFormStyle::boldSystemFont(size));
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, colour);
  l->setPalette(pal);
  return l;
}
}  // namespace

OXUnionLoginView::OXUnionLoginView(QWidget* parent) : QWidget(parent) {
  centerView_ = new QWidget(this);
  const QColor prompt = QColor::fromRgbF(0.39f, 0.38f, 0.43f);
  topTitleLabel_ = makeLabel(centerView_, "快捷登录/注册", Qt::white, 21);
  topLineView_ = new QWidget(centerView_);
  setBackgroundColor(topLineView_, OXFormStyle::ruleColor());
  thirdLoginLabel_ = makeLabel(centerView_, "请选择您需要的快捷方式", prompt, 15);
  thirdLoginContainerView_ = new QWidget(centerView_);
  otherButton_ = new TsFlatButton(centerView_);
  otherButton_->setTitle(L10n::text("其它登录方式"));
  otherButton_->setOnlyBorder(false);
  bottomTitleLabel_ = makeLabel(centerView_, "首次登录会为您创建账号", prompt, 15);
  bottomLineView_ = new QWidget(centerView_);
  setBackgroundColor(bottomLineView_, OXFormStyle::inputLineColor());
  configThirdLoginButtons();
  resize(650, 600);
  layoutParts();
}

void OXUnionLoginView::configThirdLoginButtons() {
  // All nine are made; WeChat, QQ and Sina are never shown.
  for (const char* hidden : {"ic_login_wc", "ic_login_qq", "ic_login_sina"})
    OXFormStyle::makeProviderButton(this, hidden)->hide();
  for (const char* name : {"ic_login_facebook", "ic_login_ins", "ic_login_gg", "ic_login_tt",
                           "ic_login_line", "ic_login_kakao"})
    shown_.push_back(OXFormStyle::makeProviderButton(thirdLoginContainerView_, name));
}

void OXUnionLoginView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void OXUnionLoginView::layoutParts() {
  centerView_->setGeometry(rect().adjusted(100, 100, -100, -80));
  const int w = centerView_->width();
  const int h = centerView_->height();
  const int titleH = topTitleLabel_->sizeHint().height();
  topTitleLabel_->setGeometry(0, 0, w, titleH);
  topLineView_->setGeometry(0, titleH + 10, w, 1);
  thirdLoginLabel_->setGeometry(0, titleH + 41, w, thirdLoginLabel_->sizeHint().height());
  thirdLoginContainerView_->setGeometry((w - 400) / 2, thirdLoginLabel_->geometry().bottom() + 21,
                                        400, 80);
  otherButton_->setGeometry(10, thirdLoginContainerView_->geometry().bottom() + 61, w - 20, 44);
  const int noteH = bottomTitleLabel_->sizeHint().height();
  bottomTitleLabel_->setGeometry(0, h - noteH, w, noteH);
  bottomLineView_->setGeometry(0, h - noteH - 10 - 1, w, 1);
  OXFormStyle::layoutProviderRow(thirdLoginContainerView_, shown_);
}
