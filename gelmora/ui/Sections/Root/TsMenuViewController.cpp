#include "ui/Sections/Root/TsMenuViewController.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QPainter>

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {

constexpr int kBarWidth = 100;
constexpr int kContainerTop = 100;
constexpr int kShutdownHeight = 100;
constexpr int kLogoTop = 50;
constexpr int kButtonHeight = 35;
constexpr int kCaptionHeight = 15;
constexpr int kCaptionGap = 8;
constexpr int kFirstButtonTop = 40;
constexpr int kButtonGap = 80;
constexpr int kCaptionTagBase = 100;
const QColor kBarColor(26, 23, 39);

// A borderless image button that shows its alternate image while pressed.
class ImageButton : public QAbstractButton {
 public:
  explicit ImageButton(QWidget* parent = nullptr) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
  }
  void setImage(const QPixmap& p) {
    image_ = p;
    update();
  }
  void setAlternateImage(const QPixmap& p) {
    alternate_ = p;
    update();
  }
  const QPixmap& image() const { return image_; }
  const QPixmap& alternateImage() const { return alternate_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    const QPixmap& shown = isDown() && !alternate_.isNull() ? alternate_ : image_;
    if (shown.isNull()) return;
    QPainter p(this);
    const QSizeF s = shown.deviceIndependentSize();
    p.drawPixmap(QPointF((width() - s.width()) / 2, (height() - s.height()) / 2), shown);
  }

 private:
  QPixmap image_;
  QPixmap alternate_;
};

QLabel* makeCaption(QWidget* parent, const QString& text, int tag) {
  auto* caption = new QLabel(text, parent);
  QFont font = caption->font();
  font.setPixelSize(12);
  caption->setFont(font);
  caption->setAlignment(Qt::AlignCenter);
  caption->setProperty("tag", tag);
  return caption;
}

void setTextColor(QLabel* label, const QColor& color) {
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, color);
  label->setPalette(p);
}

}  // namespace

TsMenuViewController::TsMenuViewController(std::vector<TsMenuItem> items, QWidget* parent)
    : QWidget(parent), items_(std::move(items)) {
  const TsStyleSheet& style = app().style();
  menuBar_ = new QWidget(this);
  menuBar_->setObjectName("menuBar");
  gelmora::ui::setBackgroundColor(menuBar_, kBarColor);
  containerView_ = new QWidget(this);
  gelmora::ui::setBackgroundColor(containerView_, style.backgroundColor());
  auto* stack = new QGridLayout(containerView_);
  stack->setContentsMargins(0, 0, 0, 0);

  auto* close = new ImageButton;
  close->setImage(gelmora::ui::Images::named("ic_close"));
  close->setAlternateImage(gelmora::ui::Images::named("ic_close_highlighted"));
  closeButton_.reset(close);
  auto* shutdown = new ImageButton(menuBar_);
  shutdown->setImage(gelmora::ui::Images::named("ic_exit"));
  shutdown->setAlternateImage(gelmora::ui::Images::named("ic_exit_highlighted"));
  shutdown->hide();
  shutdownButton_ = shutdown;
  menuContainer_ = new QWidget(menuBar_);
  logoImageView_ = new QLabel(menuBar_);
  logoImageView_->setPixmap(gelmora::ui::Images::named("ic_logo"));

  connect(closeButton_.get(), &QAbstractButton::clicked, this, [this] { closeButtonClicked(); });
  connect(shutdownButton_, &QAbstractButton::clicked, this, [this] { shutdownButtonClicked(); });

  // The screens belong to the menu from now on; each is shown only while selected.
  for (auto& item : items_) {
    if (!item.viewController) continue;
    item.viewController->setParent(containerView_);
    item.viewController->hide();
    stack->addWidget(item.viewController, 0, 0);
  }

  resize(950, 600);
  resetMenus();
  layoutViews();
  selectMenuAtIndex(0);

  gelmora::ui::observe(this, TsUserCenterTopupNotification,
                       [this](const platform::notifications::Notification&) { showShop(); });
}

TsMenuViewController::~TsMenuViewController() = default;

QAbstractButton* TsMenuViewController::closeButton() const { return closeButton_.get(); }

void TsMenuViewController::resetMenus() {
  const TsStyleSheet& style = app().style();
  for (size_t i = 0; i < items_.size(); ++i) {
    auto* button = new ImageButton(menuContainer_);
    button->setImage(items_[i].normalImage);
    button->setAlternateImage(items_[i].highlightImage);
    button->setProperty("tag", static_cast<int>(i));
    button->setObjectName("menuButton_" + items_[i].key);
    connect(button, &QAbstractButton::clicked, this, [this, button] { menuButtonClicked(button); });
    barButtons_.push_back(button);
    QLabel* caption =
        makeCaption(menuContainer_, items_[i].title, kCaptionTagBase + static_cast<int>(i));
    setTextColor(caption, style.lightGray());
    captions_.push_back(caption);
  }
}

void TsMenuViewController::layoutViews() {
  const int h = height();
  menuBar_->setGeometry(0, 0, kBarWidth, h);
  containerView_->setGeometry(kBarWidth, 0, std::max(0, width() - kBarWidth), h);
  shutdownButton_->setGeometry(0, h - kShutdownHeight, kBarWidth, kShutdownHeight);
  menuContainer_->setGeometry(0, kContainerTop, kBarWidth,
                              std::max(0, h - kShutdownHeight - kContainerTop));
  const QSize logo = logoImageView_->sizeHint();
  logoImageView_->setGeometry((kBarWidth - logo.width()) / 2, kLogoTop, logo.width(),
                              logo.height());
  int top = kFirstButtonTop;
  for (size_t i = 0; i < barButtons_.size(); ++i) {
    barButtons_[i]->setGeometry(0, top, kBarWidth, kButtonHeight);
    captions_[i]->setGeometry(0, top + kButtonHeight + kCaptionGap, kBarWidth, kCaptionHeight);
    top += kButtonHeight + kButtonGap;
  }
}

void TsMenuViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutViews();
}

QLabel* TsMenuViewController::captionAt(int index) const {
  for (QLabel* caption : captions_) {
    if (caption->property("tag").toInt() == index + kCaptionTagBase) return caption;
  }
  return nullptr;
}

void TsMenuViewController::selectMenuAtIndex(int index) {
  if (index == menuIndex_ || index < 0 || index >= static_cast<int>(items_.size())) return;
  menuIndex_ = index;
  const TsStyleSheet& style = app().style();
  for (size_t i = 0; i < barButtons_.size(); ++i) {
    auto* button = static_cast<ImageButton*>(barButtons_[i]);
    const bool selected = static_cast<int>(i) == index;
    button->setImage(selected ? items_[i].highlightImage : items_[i].normalImage);
    if (QLabel* caption = captionAt(static_cast<int>(i))) {
      setTextColor(caption, selected ? style.gradientDark() : style.darkGray());
    }
  }
  if (content_) content_->hide();
  content_ = items_[index].viewController;
  if (content_) content_->show();
}

void TsMenuViewController::menuButtonClicked(QAbstractButton* button) {
  selectMenuAtIndex(button->property("tag").toInt());
}

void TsMenuViewController::closeButtonClicked() {
  if (QWidget* w = window()) w->close();
}

void TsMenuViewController::shutdownButtonClicked() {
  if (terminate_) {
    terminate_();
  } else {
    QCoreApplication::quit();
  }
}

void TsMenuViewController::showShop() {
  if (QWidget* w = window()) {
    w->show();
    w->raise();
    w->activateWindow();
  }
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].key == QLatin1String("shop")) selectMenuAtIndex(static_cast<int>(i));
  }
}
