#include "ui/General/CarouselWidget.h"

#include <QMouseEvent>
#include <cmath>

#include "ui/Kit/UiTiming.h"

namespace gelmora::ui {

namespace {
// Pixels a press must move before it is a drag rather than a click.
constexpr double kDragSlop = 4.0;
}  // namespace

CarouselWidget::CarouselWidget(QWidget* parent) : QWidget(parent) {
  slide_.setStartValue(0.0);
  slide_.setEndValue(1.0);
  connect(&slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    model_.setSlideProgress(v.toDouble());
    setOffsetChanged();
  });
  connect(&slide_, &QVariantAnimation::finished, this, [this] {
    model_.finishSlide();
    setOffsetChanged();
  });
}

CarouselWidget::~CarouselWidget() { slide_.stop(); }

void CarouselWidget::reloadData() {
  slide_.stop();
  const int count = numberOfItems_ ? std::max(0, numberOfItems_()) : 0;
  std::vector<QPointer<QWidget>> views;
  for (int i = 0; i < count; ++i) {
    QWidget* old = i < static_cast<int>(views_.size()) ? views_[i].data() : nullptr;
    QWidget* view = viewForItem_ ? viewForItem_(i, old) : nullptr;
    if (view) {
      view->setParent(this);
      // Clicks and drags belong to the carousel, not to the pictures.
      view->setAttribute(Qt::WA_TransparentForMouseEvents);
      view->resize(static_cast<int>(CarouselModel::kItemWidth),
                   static_cast<int>(CarouselModel::kItemHeight));
      view->show();
    }
    views.emplace_back(view);
  }
  for (size_t i = 0; i < views_.size(); ++i) {
    QWidget* old = views_[i].data();
    if (old && std::find(views.begin(), views.end(), old) == views.end()) old->deleteLater();
  }
  views_ = std::move(views);
  model_.setCount(count);
  lastIndex_ = model_.currentIndex();
  layoutItems();
}

QWidget* CarouselWidget::itemViewAtIndex(int index) const {
  if (index < 0 || index >= static_cast<int>(views_.size())) return nullptr;
  return views_[index].data();
}

void CarouselWidget::scrollToItemAtIndex(int index, bool animated) {
  slide_.stop();
  model_.startSlide(index);
  if (!model_.isSliding()) {
    setOffsetChanged();
    return;
  }
  if (!animated) {
    model_.finishSlide();
    setOffsetChanged();
    return;
  }
  slide_.setDuration(std::max(1, UiTiming::ms(CarouselModel::kSlideSeconds)));
  slide_.start();
}

void CarouselWidget::setOffsetChanged() {
  layoutItems();
  const int now = model_.currentIndex();
  if (now != lastIndex_) {
    lastIndex_ = now;
    Q_EMIT currentItemIndexDidChange(now);
  }
}

void CarouselWidget::layoutItems() {
  const double cx = width() / 2.0;
  const double cy = height() / 2.0;
  for (int i = 0; i < static_cast<int>(views_.size()); ++i) {
    QWidget* view = views_[i].data();
    if (!view) continue;
    const double centre = cx + model_.centreOf(i);
    view->move(static_cast<int>(std::lround(centre - CarouselModel::kItemWidth / 2.0)),
               static_cast<int>(std::lround(cy - CarouselModel::kItemHeight / 2.0)));
    // Only what can be seen is shown.
    view->setVisible(std::abs(centre - cx) < cx + CarouselModel::kItemWidth);
  }
}

void CarouselWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutItems();
}

void CarouselWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  pressed_ = true;
  moved_ = false;
  pressPos_ = lastPos_ = event->position();
  event->accept();
}

void CarouselWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_) return QWidget::mouseMoveEvent(event);
  const QPointF pos = event->position();
  if (!moved_ && std::abs(pos.x() - pressPos_.x()) < kDragSlop) return;
  if (!moved_) {
    moved_ = true;
    slide_.stop();
    model_.beginDrag();
    lastPos_ = pressPos_;
  }
  model_.dragBy(pos.x() - lastPos_.x());
  lastPos_ = pos;
  setOffsetChanged();
  event->accept();
}

void CarouselWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (!pressed_ || event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
  pressed_ = false;
  event->accept();
  if (moved_) {
    moved_ = false;
    scrollToItemAtIndex(model_.endDrag(), true);
    return;
  }
  // A click: selects only at rest.
  if (!model_.canSelect()) return;
  const int index =
      model_.itemAt(event->position().x() - width() / 2.0, event->position().y() - height() / 2.0);
  if (index >= 0) Q_EMIT didSelectItemAtIndex(index);
}

}  // namespace gelmora::ui
