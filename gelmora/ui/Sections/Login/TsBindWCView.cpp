#include "ui/Sections/Login/TsBindWCView.h"

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

TsBindWCView::TsBindWCView(QWidget* parent, TsUserController* user) : QWidget(parent) {
  if (!user) user = &app().user();
  setBackgroundColor(this, TsPanelStyle::panelColor());
  title_ = TsPanelStyle::makeLabel(this, L10n::text("关联微信"), TsPanelStyle::boldSystemFont(19),
                                   QColor(Qt::white), Qt::AlignLeft | Qt::AlignVCenter);
  name_ =
      TsPanelStyle::makeLabel(this, QString::fromStdString(user->username()),
                              TsPanelStyle::boldSystemFont(25), QColor(Qt::white), Qt::AlignCenter);
  // Not a localisation key: the explanation stands as it is.
  explanation_ = TsPanelStyle::makeLabel(
      this,
      QStringLiteral("推荐您绑定微信号\n绑定微信，以后您可使用微信快捷登录账号\n"
                     "您可在个人中心-账号信息进行绑定/解绑"),
      TsPanelStyle::systemFont(15), TsStyleSheet::sharedInstance().darkGray(), Qt::AlignCenter);
  // Three fixed lines: wrapping would push the last one out of the label.
  explanation_->setWordWrap(false);
  confirmButton_ = new TsFlatButton(this);
  confirmButton_->setTitle(L10n::text("前往微信授权"));
  confirmButton_->setOnlyBorder(false);
  skipButton_ = TsPanelStyle::makeSkipButton(this);
  connect(skipButton_, &QAbstractButton::clicked, this, [this] { skipBind(); });
  resize(400, 500);
  layoutParts();
}

void TsBindWCView::skipBind() {
  hide();
  setParent(nullptr);
  deleteLater();
}

void TsBindWCView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void TsBindWCView::layoutParts() {
  const int w = width() - 120;
  title_->setGeometry(30, 30, width() - 90, 45);
  name_->setGeometry(60, title_->y() + 45 + 30, w, 45);
  explanation_->setGeometry(60, name_->y() + 45 + 30, w, 70);
  confirmButton_->setGeometry(60, explanation_->y() + 70 + 50, w, 44);
  skipButton_->setGeometry((width() - 90) / 2, confirmButton_->y() + 44 + 40, 90, 30);
}
