#include "ui/General/CarouselModel.h"

#include <algorithm>

namespace gelmora::ui {

void CarouselModel::setCount(int count) {
  count_ = std::max(0, count);
  offset_ = 0;
  dragging_ = sliding_ = false;
}

int CarouselModel::wrap(long long index) const {
  if (count_ <= 0) return -1;
  long long m = index % count_;
  return static_cast<int>(m < 0 ? m + count_ : m);
}

int CarouselModel::currentIndex() const {
  return wrap(static_cast<long long>(std::llround(offset_)));
}

double CarouselModel::centreOf(int index) const {
  if (count_ <= 0) return 0;
  double delta = index - offset_;
  // Into [-count/2, count/2): the wrapped strip shows each item on its nearer side.
  const double n = count_;
  delta = std::fmod(delta + n / 2.0, n);
  if (delta < 0) delta += n;
  delta -= n / 2.0;
  return delta * kItemStep;
}

int CarouselModel::itemAt(double x, double y) const {
  if (std::abs(y) > kItemHeight / 2.0) return -1;
  for (int i = 0; i < count_; ++i) {
    if (std::abs(x - centreOf(i)) <= kItemWidth / 2.0) return i;
  }
  return -1;
}

void CarouselModel::beginDrag() {
  if (!scrollEnabled()) return;
  // A drag that catches the strip while it slides starts from where it is.
  sliding_ = false;
  dragging_ = true;
  dragStart_ = offset_;
}

void CarouselModel::dragBy(double dx) {
  if (!dragging_) return;
  offset_ -= dx / kItemStep;
  offset_ = std::clamp(offset_, std::round(dragStart_) - 1.0, std::round(dragStart_) + 1.0);
}

int CarouselModel::endDrag() {
  if (!dragging_) return currentIndex();
  dragging_ = false;
  const double start = std::round(dragStart_);
  const double moved = offset_ - dragStart_;
  double target = start;
  if (moved > kPageThreshold) target = start + 1;
  if (moved < -kPageThreshold) target = start - 1;
  return wrap(static_cast<long long>(target));
}

void CarouselModel::startSlide(int target) {
  if (count_ <= 0 || target < 0 || target >= count_) return;
  // The nearest offset that shows `target`.
  double to = offset_ + centreOf(target) / kItemStep;
  to = std::round(to);
  if (std::abs(to - offset_) < 1e-9) {
    offset_ = to;
    sliding_ = false;
    return;
  }
  slideFrom_ = offset_;
  slideTo_ = to;
  sliding_ = true;
}

void CarouselModel::setSlideProgress(double progress) {
  if (!sliding_) return;
  progress = std::clamp(progress, 0.0, 1.0);
  offset_ = slideFrom_ + (slideTo_ - slideFrom_) * progress;
  if (progress >= 1.0) finishSlide();
}

void CarouselModel::finishSlide() {
  if (!sliding_) return;
  offset_ = slideTo_;
  sliding_ = false;
}

}  // namespace gelmora::ui
