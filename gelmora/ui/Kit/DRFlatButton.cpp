#include "ui/Kit/DRFlatButton.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "ui/Kit/UiTiming.h"

namespace {
constexpr double kDefaultAnimationSeconds = 0.25;
}  // namespace

DRFlatButton::DRFlatButton(QWidget* parent) : QAbstractButton(parent) {
  // Everything starts transparent; the colours given by the owner fade in.
  for (auto& c : shown_) c = QColor(Qt::transparent);
}

DRFlatButton::~DRFlatButton() = default;

void DRFlatButton::setImage(const QPixmap& image) {
  image_ = image;
  setupImageLayer();
}

void DRFlatButton::setImagePosition(int position) {
  imagePosition_ = position;
  setupImageLayer();
}

void DRFlatButton::setImageHugsTitle(bool on) {
  hugs_ = on;
  setupImageLayer();
}

void DRFlatButton::setSpacing(double spacing) {
  spacing_ = spacing;
  setupImageLayer();
}

void DRFlatButton::setState(int state) {
  state_ = state;
  animateColorWithState(state);
}

void DRFlatButton::setMomentary(bool on) {
  momentary_ = on;
  animateColorWithState(state_);
}

void DRFlatButton::setCornerRadius(double r) {
  cornerRadius_ = r;
  update();
}

void DRFlatButton::setBorderWidth(double w) {
  borderWidth_ = w;
  update();
}

#define DR_COLOR_SETTER(name, table, part) \
  void DRFlatButton::name(Color c) {       \
    table[part] = c;                       \
    animateColorWithState(state_);         \
  }
DR_COLOR_SETTER(setBorderNormalColor, normal_, Border)
DR_COLOR_SETTER(setBorderHighlightColor, highlight_, Border)
DR_COLOR_SETTER(setBackgroundNormalColor, normal_, Background)
DR_COLOR_SETTER(setBackgroundHighlightColor, highlight_, Background)
DR_COLOR_SETTER(setImageNormalColor, normal_, ImageColor)
DR_COLOR_SETTER(setImageHighlightColor, highlight_, ImageColor)
DR_COLOR_SETTER(setTitleNormalColor, normal_, TitleColor)
DR_COLOR_SETTER(setTitleHighlightColor, highlight_, TitleColor)
#undef DR_COLOR_SETTER

int DRFlatButton::runningAnimations() const {
  int n = 0;
  for (const auto& a : animations_) {
    if (a && a->state() == QAbstractAnimation::Running) ++n;
  }
  return n;
}

void DRFlatButton::animateColorWithState(int state) {
  for (auto& a : animations_) {
    if (a) a->stop();
  }
  const bool on = state == 1;
  const auto& colors = on ? highlight_ : normal_;
  double seconds = on ? onDuration_ : offDuration_;
  if (seconds <= 0) seconds = kDefaultAnimationSeconds;
  for (int part = 0; part < 4; ++part) {
    animatePart(static_cast<Part>(part), colors[part].value_or(QColor(Qt::transparent)), seconds);
  }
}

void DRFlatButton::animatePart(Part part, const QColor& target, double seconds) {
  if (shown_[part] == target) return;
  const int duration = gelmora::ui::UiTiming::ms(seconds);
  if (duration == 0) {
    shown_[part] = target;
    update();
    return;
  }
  auto& anim = animations_[part];
  if (!anim) {
    anim = std::make_unique<QVariantAnimation>();
    connect(anim.get(), &QVariantAnimation::valueChanged, this, [this, part](const QVariant& v) {
      shown_[part] = v.value<QColor>();
      update();
    });
  }
  anim->setStartValue(shown_[part]);
  anim->setEndValue(target);
  anim->setDuration(duration);
  anim->start();
}

QSizeF DRFlatButton::titleSize() const {
  const QFontMetricsF metrics(font());
  return {metrics.horizontalAdvance(text()), metrics.height()};
}

std::pair<QPointF, QPointF> DRFlatButton::origins(QSizeF is, QSizeF ts) const {
  const double W = width(), H = height(), iw = is.width(), ih = is.height(), tw = ts.width(),
               th = ts.height(), s = spacing_;
  switch (imagePosition_) {
    case NoImage:
      return {{0, 0}, {(W - tw) / 2, (H - th) / 2}};
    case ImageOnly:
      return {{(W - iw) / 2, (H - ih) / 2}, {0, 0}};
    case ImageLeft:
    case ImageLeading:
      if (hugs_)
        return {{(W - iw - tw) / 2 - s, (H - ih) / 2}, {(W + iw - tw) / 2 + s, (H - th) / 2}};
      return {{s, (H - ih) / 2}, {W - tw - s, (H - th) / 2}};
    case ImageRight:
    case ImageTrailing:
      if (hugs_)
        return {{(W - iw + tw) / 2 + s, (H - ih) / 2}, {(W - iw - tw) / 2 - s, (H - th) / 2}};
      return {{W - iw - s, (H - ih) / 2}, {s, (H - th) / 2}};
    case ImageBelow:
      if (hugs_)
        return {{(W - iw) / 2, (H - ih + th) / 2 + s}, {(W - tw) / 2, (H - ih - th) / 2 - s}};
      return {{(W - iw) / 2, H - ih - s}, {(W - tw) / 2, s}};
    case ImageAbove:
      if (hugs_)
        return {{(W - iw) / 2, (H - ih - th) / 2 - s}, {(W - tw) / 2, (H + ih - th) / 2 + s}};
      return {{(W - iw) / 2, s}, {(W - tw) / 2, H - th - s}};
    case ImageOverlaps:
      return {{(W - iw) / 2, (H - ih) / 2}, {(W - tw) / 2, (H - th) / 2}};
    default:
      return {{0, 0}, {0, 0}};
  }
}

void DRFlatButton::setupImageLayer() {
  // The image's place is computed here only; a later resize moves the title alone.
  if (image_.isNull() || imagePosition_ == NoImage) {
    imageOrigin_.reset();
  } else {
    const QSizeF is = image_.deviceIndependentSize();
    const QPointF o = origins(is, titleSize()).first;
    imageOrigin_ = QPointF(std::round(o.x()), std::round(o.y()));
  }
  update();
}

std::optional<QRectF> DRFlatButton::titleRect() const {
  if (text().isEmpty() || imagePosition_ == ImageOnly) return std::nullopt;
  const QSizeF is = image_.isNull() ? QSizeF() : image_.deviceIndependentSize();
  const QSizeF ts = titleSize();
  const QPointF o = origins(is, ts).second;
  return QRectF(std::round(o.x()), std::round(o.y()), std::ceil(ts.width()),
                std::ceil(ts.height()));
}

void DRFlatButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = rect();
  QPainterPath face;
  face.addRoundedRect(r, cornerRadius_, cornerRadius_);
  p.setClipPath(face);
  p.fillPath(face, shown_[Background]);
  if (borderWidth_ > 0) {
    const double w = borderWidth_;
    QPainterPath inner;
    const double ir = std::max(0.0, cornerRadius_ - w);
    inner.addRoundedRect(r.adjusted(w, w, -w, -w), ir, ir);
    p.fillPath(face.subtracted(inner), shown_[Border]);
  }
  if (imageOrigin_) {
    // The image's shape, filled with the image colour.
    QPixmap stencil(image_.size());
    stencil.setDevicePixelRatio(image_.devicePixelRatio());
    stencil.fill(Qt::transparent);
    {
      QPainter sp(&stencil);
      sp.drawPixmap(0, 0, image_);
      sp.setCompositionMode(QPainter::CompositionMode_SourceIn);
      sp.fillRect(QRectF(QPointF(), image_.deviceIndependentSize()), shown_[ImageColor]);
    }
    p.drawPixmap(*imageOrigin_, stencil);
  }
  if (auto tr = titleRect()) {
    p.setPen(shown_[TitleColor]);
    p.setFont(font());
    p.drawText(*tr, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text());
  }
}

void DRFlatButton::flip() { setState(state_ == 1 ? 0 : 1); }

void DRFlatButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !isEnabled()) {
    event->ignore();
    return;
  }
  mouseDown_ = true;
  flip();
  event->accept();
}

void DRFlatButton::mouseMoveEvent(QMouseEvent* event) {
  // Leaving the button while pressed cancels the click and restores the state.
  if (mouseDown_ && !rect().contains(event->position().toPoint())) {
    mouseDown_ = false;
    flip();
  }
  event->accept();
}

void DRFlatButton::mouseReleaseEvent(QMouseEvent* event) {
  if (!mouseDown_ || event->button() != Qt::LeftButton) {
    event->accept();
    return;
  }
  mouseDown_ = false;
  if (!rect().contains(event->position().toPoint())) {
    // Released outside without a move seen on the way out: cancelled all the same.
    flip();
    return;
  }
  if (momentary_) flip();
  Q_EMIT clicked(state_ == 1);
}

void DRFlatButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    // A disabled button is not there for the mouse.
    setAttribute(Qt::WA_TransparentForMouseEvents, !isEnabled());
    if (!isEnabled() && mouseDown_) {
      mouseDown_ = false;
      flip();
    }
  } else if (event->type() == QEvent::FontChange) {
    update();
  }
  QAbstractButton::changeEvent(event);
}

bool DRFlatButton::hitButton(const QPoint& pos) const {
  return isEnabled() && rect().contains(pos);
}
