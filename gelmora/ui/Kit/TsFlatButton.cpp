#include "ui/Kit/TsFlatButton.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"

namespace {
// The platform's default animation time, for the fade between enabled and disabled.
constexpr double kFadeSeconds = 0.25;
}  // namespace

TsFlatButton::TsFlatButton(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFont(app().style().fontWithSize(17));
  connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    alpha_ = v.toDouble();
    update();
  });
}

void TsFlatButton::setOnlyBorder(bool on) {
  onlyBorder_ = on;
  update();
}

void TsFlatButton::setBorderWidth(double width) {
  borderWidth_ = width;
  update();
}

void TsFlatButton::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

void TsFlatButton::setCornerRadius(double radius) {
  cornerRadius_ = radius;
  update();
}

void TsFlatButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    const double target = isEnabled() ? 1.0 : 0.5;
    fade_.stop();
    const int duration = gelmora::ui::UiTiming::ms(kFadeSeconds);
    if (duration == 0 || !isVisible()) {
      alpha_ = target;
      update();
    } else {
      fade_.setStartValue(alpha_);
      fade_.setEndValue(target);
      fade_.setDuration(duration);
      fade_.start();
    }
  }
  QAbstractButton::changeEvent(event);
}

void TsFlatButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(alpha_);
  const QRectF r = rect();
  const TsStyleSheet& style = app().style();

  if (background_) {
    const double radius = cornerRadius_.value_or(r.height() / 2);
    QPainterPath face;
    face.addRoundedRect(r, radius, radius);
    p.fillPath(face, *background_);
  } else {
    QLinearGradient gradient(r.topLeft(), r.topRight());
    const bool pressed = isDown();
    gradient.setColorAt(0, style.gradientDark());
    gradient.setColorAt(1, pressed ? style.gradientDark() : style.gradientLight());
    const double radius = r.height() / 2;
    QPainterPath face;
    face.addRoundedRect(r, radius, radius);
    if (onlyBorder_) {
      // The outline lies inside the face, borderWidth wide.
      const double w = borderWidth_;
      QPainterPath inner;
      const QRectF in = r.adjusted(w, w, -w, -w);
      const double innerRadius = std::max(0.0, radius - w);
      if (in.isValid()) inner.addRoundedRect(in, innerRadius, innerRadius);
      p.fillPath(face.subtracted(inner), gradient);
    } else {
      p.fillPath(face, gradient);
    }
  }

  p.setPen(Qt::white);
  p.setFont(font());
  p.drawText(r, Qt::AlignCenter, text());
}
