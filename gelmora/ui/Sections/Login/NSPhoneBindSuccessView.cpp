#include "ui/Sections/Login/NSPhoneBindSuccessView.h"

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login/TsPanelStyle.h"

using namespace gelmora::ui;

namespace {
const char* const kNotice =
    "为了更好的维护账号体系，\n后续将关闭账号及QQ登录，\n 请使用手机号%@进行登录";
}

NSPhoneBindSuccessView::NSPhoneBindSuccessView(QWidget* parent, TsUserController* user)
    : QWidget(parent) {
  initUI(user ? user : &app().user());
}

void NSPhoneBindSuccessView::initUI(TsUserController* user) {
  setBackgroundColor(this, TsPanelStyle::panelColor());
  picture_ = new QLabel(this);
  picture_->setPixmap(Images::named("ic_bind_success"));
  picture_->setScaledContents(true);
  // Not a localisation key: the title stands as it is.
  title_ =
      TsPanelStyle::makeLabel(this, QStringLiteral("绑定成功"), TsPanelStyle::boldSystemFont(25),
                              QColor(Qt::white), Qt::AlignCenter);
  notice_ = TsPanelStyle::makeLabel(
      this, TsPanelStyle::format(L10n::text(kNotice), QString::fromStdString(user->username())),
      TsPanelStyle::systemFont(15), TsStyleSheet::sharedInstance().darkGray(), Qt::AlignCenter);
  notice_->setProperty("tag", 100);
  notice_->setWordWrap(true);

  confirmButton_ = new TsFlatButton(this);
  confirmButton_->setTitle(L10n::text("我知道了"));
  confirmButton_->setOnlyBorder(false);
  connect(confirmButton_, &QAbstractButton::clicked, this, [this] { confirm(); });

  skipButton_ = TsPanelStyle::makeSkipButton(this);
  skipButton_->hide();
  connect(skipButton_, &QAbstractButton::clicked, this, [this] { skipBind(); });
  resize(400, 500);
  layoutParts();
}

void NSPhoneBindSuccessView::setPhone(const QString& phone) {
  phone_ = phone;
  if (phone.isEmpty()) return;
  notice_->setText(TsPanelStyle::format(L10n::text(kNotice), phone));
}

void NSPhoneBindSuccessView::confirm() {
  if (confirmBlock_) confirmBlock_();
}

void NSPhoneBindSuccessView::skipBind() {
  if (skipBlock_) skipBlock_();
}

void NSPhoneBindSuccessView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void NSPhoneBindSuccessView::layoutParts() {
  const int w = width() - 120;
  picture_->setGeometry((width() - 65) / 2, 90, 65, 65);
  title_->setGeometry(60, 90 + 65 + 30, w, 45);
  notice_->setGeometry(60, title_->y() + 45 + 30, w, 70);
  confirmButton_->setGeometry(60, notice_->y() + 70 + 50, w, 44);
}
