#include "ui/Sections/Login-Oxla/OXLoginView.h"

#include "ui/Kit/Images.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

using namespace gelmora::ui;

namespace {
constexpr int kPictureWidth = 352;
constexpr int kFormLeft = 300;
}  // namespace

OXLoginView::OXLoginView(QWidget* parent) : QWidget(parent) {
  adView_ = new TsDragableImageView(this);
  adView_->setImage(Images::named("ic_login_left_bg"));
  logoView_ = new QLabel(this);
  logoView_->setPixmap(Images::named("ic_logo_light"));
  logoView_->hide();
  formView_ = new QWidget(this);
  setBackgroundColor(formView_, TsStyleSheet::sharedInstance().backgroundColor());

  unionLoginView_ = new OXUnionLoginView(formView_);
  emailLoginView_ = new OXEmailLoginView(formView_);
  emailResetView_ = new OXEmailResetPassView(formView_);
  for (QWidget* form :
       {static_cast<QWidget*>(unionLoginView_), static_cast<QWidget*>(emailLoginView_),
        static_cast<QWidget*>(emailResetView_)})
    form->hide();
  switchToView(emailLoginView_);

  connect(unionLoginView_->otherButton(), &QAbstractButton::clicked, this,
          [this] { switchToView(emailLoginView_); });
  connect(emailLoginView_->resetPasswordBtn(), &QAbstractButton::clicked, this,
          [this] { switchToView(emailResetView_); });
  connect(emailResetView_->emailLoginButton(), &QAbstractButton::clicked, this, [this] {
    switchToView(emailLoginView_);
    // Emptied from code: the view model keeps the last typed reset values.
    emailResetView_->emailField()->textField()->setText(QString());
    emailResetView_->passwordField()->textField()->setText(QString());
    emailResetView_->codeTF()->textField()->setText(QString());
  });
  resize(950, 600);
  layoutParts();
}

void OXLoginView::switchToView(QWidget* view) {
  if (shown_) shown_->hide();
  shown_ = view;
  view->setGeometry(formView_->rect());
  view->show();
  view->raise();
}

void OXLoginView::unionButtonClicked() { switchToView(unionLoginView_); }

void OXLoginView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutParts();
}

void OXLoginView::layoutParts() {
  adView_->setGeometry(0, 0, kPictureWidth, height());
  logoView_->setGeometry(20, 40, logoView_->sizeHint().width(), logoView_->sizeHint().height());
  formView_->setGeometry(kFormLeft, 0, std::max(0, width() - kFormLeft), height());
  if (shown_) shown_->setGeometry(formView_->rect());
}
