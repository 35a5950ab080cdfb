#include "ui/Sections/Accelerate/TsAccelerateScaleView.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "ui/Kit/UiTiming.h"

namespace {
const QColor kDisc(27, 25, 42);
const QColor kLightBottom(204, 21, 137);
const QColor kLightTop(49, 33, 225);
}  // namespace

TsAccelerateScaleView::TsAccelerateScaleView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  rotation_.setStartValue(0.0);
  rotation_.setEndValue(-360.0);
  rotation_.setLoopCount(-1);
  connect(&rotation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    angle_ = v.toDouble();
    update();
  });
  updateScalePath();
}

void TsAccelerateScaleView::setLightOpacity(double opacity) {
  lightOpacity_ = opacity;
  update();
}

void TsAccelerateScaleView::startRotation(double seconds) {
  rotation_.stop();
  rotation_.setDuration(std::max(1, gelmora::ui::UiTiming::ms(seconds)));
  rotation_.start();
}

void TsAccelerateScaleView::stopRotation() {
  rotation_.stop();
  angle_ = 0;
  update();
}

void TsAccelerateScaleView::updateScalePath() {
  const double w = width();
  const double cx = w / 2.0, cy = height() / 2.0;
  const double R = w / 2.0 - 10, r = R - kTickLength;
  const double step = 2 * M_PI / kTickCount;
  ticks_.clear();
  for (int i = 0; i < kTickCount; ++i) {
    const double t = step * i;
    ticks_.emplace_back(QPointF(cx - R * std::cos(t), cy - R * std::sin(t)),
                        QPointF(cx - r * std::cos(t), cy - r * std::sin(t)));
  }
  discRadius_ = std::max(0.0, r);
  update();
}

void TsAccelerateScaleView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  updateScalePath();
}

void TsAccelerateScaleView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF c(width() / 2.0, height() / 2.0);
  p.setPen(Qt::NoPen);
  p.setBrush(kDisc);
  p.drawEllipse(c, discRadius_, discRadius_);

  // The light turns with the ring: the ticks are its mask, so both rotate together.
  p.save();
  p.translate(c);
  p.rotate(angle_);
  p.translate(-c);
  QLinearGradient light(QPointF(0, height()), QPointF(0, 0));
  light.setColorAt(0, kLightBottom);
  light.setColorAt(1, kLightTop);
  QPen pen(QBrush(light), 2);
  pen.setCapStyle(Qt::FlatCap);
  p.setOpacity(lightOpacity_);
  p.setPen(pen);
  for (const auto& tick : ticks_) p.drawLine(tick);
  p.restore();
}
