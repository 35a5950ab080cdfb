#include "ui/Sections/Accelerate/TsAccelerateView.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QUrl>
#include <cmath>

#include "gelmora/Application/UrlOpener.h"
#include "ui/Application/Collaborators.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Accelerate/TsAccelerateScaleView.h"

using gelmora::ui::UiTiming;
using gelmora::ui::L10n::text;

namespace {

constexpr double kFadeSeconds = 0.3;
constexpr double kClimbDelaySeconds = 0.3;
constexpr double kFinishReloadSeconds = 0.8;
const QColor kGoColor(251, 22, 88);
const QColor kLineColor = QColor::fromRgbF(0.43f, 0.43f, 0.58f);

TsStyleSheet& sheet() { return TsStyleSheet::sharedInstance(); }

QPushButton* borderlessButton(QWidget* parent) {
  auto* b = new QPushButton(" ", parent);
  b->setFlat(true);
  b->setStyleSheet("QPushButton { background: transparent; border: none; }");
  return b;
}

QLabel* plainLabel(QWidget* parent, const QColor& color, const QFont& font) {
  auto* l = new QLabel(parent);
  l->setFont(font);
  l->setAlignment(Qt::AlignCenter);
  l->setStyleSheet(QString("color: %1; background: transparent;").arg(color.name()));
  return l;
}

QGraphicsOpacityEffect* opacityOf(QWidget* w) {
  auto* e = qobject_cast<QGraphicsOpacityEffect*>(w->graphicsEffect());
  if (!e) {
    e = new QGraphicsOpacityEffect(w);
    e->setOpacity(1);
    w->setGraphicsEffect(e);
  }
  return e;
}

}  // namespace

TsAccelerateView::TsAccelerateView(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  resize(850, 600);
  gelmora::ui::setBackgroundColor(this, sheet().backgroundColor());

  topView_ = new TsAccelerateTopView(deps_.strip, this);
  centerView_ = new QWidget(this);
  goButton_ = new TsFlatButton(this);
  goButton_->setObjectName("goButton");
  goButton_->setBackgroundColor(kGoColor);
  goButton_->setCornerRadius(22);
  goButton_->setTitle(text("start_button"));

  bootCheckBox_ = new QCheckBox(text("Boot software"), this);
  bootCheckBox_->setFont(sheet().h4());
  bootCheckBox_->setStyleSheet(QString("color: %1;").arg(sheet().darkWhite().name()));
  bootCheckBox_->hide();

  newsButton_ = borderlessButton(this);
  connect(newsButton_, &QPushButton::clicked, this, [this] { newsButtonClicked(); });

  recommendButton_ = borderlessButton(this);
  recommendButton_->setText(QString());
  // The picture's name is itself a text, so each language can name its own.
  recommendButton_->setIcon(gelmora::ui::Images::icon(text("ic_hot_rec").toStdString()));
  recommendButton_->setIconSize(QSize(109, 33));
  recommendButton_->hide();

  goImageButton_ = borderlessButton(this);

  lineLabel_ = plainLabel(this, kLineColor, sheet().fontWithSize(15));
  lineLabel_->setObjectName("lineLabel");
  lineButton_ = new DRFlatButton(this);
  lineButton_->setObjectName("lineButton");
  lineButton_->setTitle(QString());
  lineButton_->setTitleNormalColor(kLineColor);
  lineButton_->setTitleHighlightColor(kLineColor);
  lineButton_->setBackgroundNormalColor(std::nullopt);
  lineButton_->setBackgroundHighlightColor(std::nullopt);
  modeLabel_ = plainLabel(this, kLineColor, sheet().fontWithSize(15));
  modeLabel_->setObjectName("modeLabel");

  trafficLabel_ = plainLabel(this, sheet().lightBlue(), sheet().h2());
  trafficLabel_->setObjectName("trafficLabel");
  trafficLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);

  for (int i = 0; i < 3; ++i) {
    static const char* const kImages[] = {"ic_top_kefu", "ic_top_share", "ic_top_set"};
    auto* b = borderlessButton(this);
    b->setText(QString());
    b->setIcon(gelmora::ui::Images::icon(kImages[i]));
    b->setIconSize(QSize(16, 16));
    connect(b, &QPushButton::clicked, this, [this, i] {
      if (topBtnBlock) topBtnBlock(i);
    });
    topButtons_[i] = b;
  }

  scaleView_ = new TsAccelerateScaleView(centerView_);
  scaleView_->setLightOpacity(0.5);
  percentLabel_ = new QLabel(centerView_);
  percentLabel_->setObjectName("percentLabel");
  percentLabel_->setAlignment(Qt::AlignCenter);
  percentLabel_->setTextFormat(Qt::RichText);
  percentLabel_->setFont(sheet().fontWithSize(65));
  percentLabel_->setStyleSheet("color: white; background: transparent;");
  percentLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
  noAccelerateView_ = new QLabel(centerView_);
  noAccelerateView_->setScaledContents(true);
  noAccelerateView_->setPixmap(gelmora::ui::Images::named("ic_accelerate_normal"));
  noAccelerateView_->setAttribute(Qt::WA_TransparentForMouseEvents);
  finishView_ = new TsAccelerateFinishView(deps_.geo, deps_.defaults, centerView_);
  finishView_->setObjectName("finishView");
  finishView_->setAttribute(Qt::WA_TransparentForMouseEvents);
  finishView_->hide();

  climbTimer_.setSingleShot(true);
  connect(&climbTimer_, &QTimer::timeout, this,
          [this] { updateAcceleratingPercent(0.98, true, {}); });
  fade_.setStartValue(0.0);
  fade_.setEndValue(1.0);
  connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    const double t = v.toDouble();
    if (fadeIntoStarting_) {
      opacityOf(percentLabel_)->setOpacity(t);
      opacityOf(noAccelerateView_)->setOpacity(0);
    } else {
      opacityOf(percentLabel_)->setOpacity(1 - t);
      opacityOf(finishView_)->setOpacity(1 - t);
      opacityOf(noAccelerateView_)->setOpacity(t);
    }
  });
  connect(&fade_, &QVariantAnimation::finished, this, [this] { finishFade(); });

  resetAccelerateViewState();
}

TsAccelerateView::~TsAccelerateView() {
  percentCompletion_ = {};
  fadeCompletion_ = {};
  if (percentAnimation_) percentAnimation_->stop();
}

void TsAccelerateView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(rect(), sheet().backgroundColor());
  QWidget::paintEvent(event);
}

void TsAccelerateView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int W = width(), H = height();
  for (int i = 0; i < 3; ++i) topButtons_[i]->setGeometry(600 + 50 * i, 15, 16, 16);
  centerView_->setGeometry((W - 300) / 2, H / 2 - 50 - 150, 300, 300);
  const int below = centerView_->geometry().bottom() + 1;
  bootCheckBox_->setGeometry(20, H - 20 - 20, 200, 20);
  goButton_->setGeometry((W - 192) / 2, below + 90, 192, 44);
  trafficLabel_->setGeometry((W - 192) / 2, goButton_->geometry().bottom() + 1 + 6, 192, 20);
  goImageButton_->setGeometry(centerView_->x(), centerView_->y(), 300,
                              goButton_->geometry().bottom() + 1 - centerView_->y());
  newsButton_->setGeometry(W - 20 - W / 2, H - 20 - 20, W / 2, 20);
  recommendButton_->setGeometry(W - 40 - 109, H - 80 - 33, 109, 33);
  noAccelerateView_->setGeometry(60, 60, 180, 180);
  scaleView_->setGeometry(0, 0, 300, 300);
  percentLabel_->setGeometry(0, 105, 300, 90);
  finishView_->setGeometry(60, 60, 180, 180);
  topView_->setGeometry(40, 50, W - 80, 110);
  lineButton_->setGeometry((W - 192) / 2, below + 10, 192, 30);
  lineLabel_->setGeometry(lineButton_->x(), below + 10, 400, 30);
  modeLabel_->setGeometry(lineButton_->x(), lineLabel_->geometry().bottom() + 1 + 10, 400, 30);
}

QString TsAccelerateView::percentText(double value) {
  return QString::asprintf("%2.0f%%", value * 100.0);
}

double TsAccelerateView::percentDurationSeconds(double from, double to) {
  return std::fabs(to - from) * 3.0;
}

void TsAccelerateView::setPercentValue(double value) {
  percent_ = value;
  const QString t = percentText(value);
  percentLabel_->setText(QString("%1<span style=\"font-size:15px\">%</span>")
                             .arg(t.left(t.size() - 1).toHtmlEscaped().replace(' ', "&nbsp;")));
  percentLabel_->setProperty("plainText", t);
}

void TsAccelerateView::removePercentAnimation() {
  if (!percentAnimation_) return;
  QVariantAnimation* old = percentAnimation_;
  percentAnimation_ = nullptr;
  Completion done = std::move(percentCompletion_);
  percentCompletion_ = {};
  old->disconnect(this);
  old->stop();
  old->deleteLater();
  // A move that is replaced or removed still reports its end, as finished.
  if (done) done(true);
}

void TsAccelerateView::updateAcceleratingPercent(double target, bool animated,
                                                 Completion completion) {
  if (!animated) {
    setPercentValue(target);
    if (completion) completion(true);
    return;
  }
  removePercentAnimation();
  const int ms = UiTiming::ms(percentDurationSeconds(percent_, target));
  if (ms <= 0) {
    setPercentValue(target);
    if (completion) completion(true);
    return;
  }
  auto* anim = new QVariantAnimation(this);
  QEasingCurve curve(QEasingCurve::BezierSpline);
  curve.addCubicBezierSegment(QPointF(0.7, 0.0), QPointF(0.0, 1.0), QPointF(1.0, 1.0));
  anim->setEasingCurve(curve);
  anim->setStartValue(percent_);
  anim->setEndValue(target);
  anim->setDuration(ms);
  anim->setProperty("designSeconds", percentDurationSeconds(percent_, target));
  connect(anim, &QVariantAnimation::valueChanged, this,
          [this](const QVariant& v) { setPercentValue(v.toDouble()); });
  connect(anim, &QVariantAnimation::finished, this, [this, anim] {
    if (percentAnimation_ != anim) return;
    setPercentValue(anim->endValue().toDouble());
    percentAnimation_ = nullptr;
    Completion done = std::move(percentCompletion_);
    percentCompletion_ = {};
    anim->deleteLater();
    if (done) done(true);
  });
  percentAnimation_ = anim;
  percentCompletion_ = std::move(completion);
  anim->start();
}

void TsAccelerateView::fade(bool intoStarting, Completion completion) {
  // A fade that is replaced ends first, so its completion still runs before the new one starts.
  if (fade_.state() == QAbstractAnimation::Running) {
    fade_.stop();
    finishFade();
  }
  noAccelerateView_->show();
  opacityOf(noAccelerateView_)->setOpacity(intoStarting ? 1 : 0);
  if (intoStarting) {
    opacityOf(percentLabel_)->setOpacity(0);
    percentLabel_->show();
  }
  fadeIntoStarting_ = intoStarting;
  fadeCompletion_ = std::move(completion);
  fade_.setDuration(std::max(1, UiTiming::ms(kFadeSeconds)));
  fade_.start();
}

void TsAccelerateView::finishFade() {
  Completion done = std::move(fadeCompletion_);
  fadeCompletion_ = {};
  if (fadeIntoStarting_) {
    opacityOf(percentLabel_)->setOpacity(1);
    noAccelerateView_->hide();
    opacityOf(noAccelerateView_)->setOpacity(1);
  } else {
    percentLabel_->hide();
    opacityOf(percentLabel_)->setOpacity(1);
    finishView_->hide();
    opacityOf(finishView_)->setOpacity(1);
    opacityOf(noAccelerateView_)->setOpacity(1);
  }
  if (done) done(true);
}

void TsAccelerateView::resetAccelerateViewState() {
  stopAcceleratingAnimation();
  noAccelerateView_->show();
  scaleView_->setLightOpacity(0.5);
  percentLabel_->hide();
  finishView_->hide();
  updateAcceleratingPercent(0, false, {});
}

void TsAccelerateView::startAcceleratingAnimation() {
  if (state_ != Starting && state_ != Busy) return;
  scaleView_->setLightOpacity(1.0);
  scaleView_->startRotation(1.0);
}

void TsAccelerateView::stopAcceleratingAnimation() { scaleView_->stopRotation(); }

void TsAccelerateView::changeState(int64_t state, bool animated) {
  if (state == state_) return;
  goButton_->setEnabled(true);
  finishView_->hide();
  // The delayed climb to 98 % belongs to this start only.
  if (state != Starting) climbTimer_.stop();

  QPointer<TsAccelerateView> self(this);
  switch (state) {
    case Idle:
      removePercentAnimation();
      if (animated) {
        fade(false, [self](bool) {
          if (self) self->resetAccelerateViewState();
        });
      } else {
        resetAccelerateViewState();
      }
      goButton_->setTitle(text("start_button"));
      goButton_->setEnabled(true);
      lineButton_->setEnabled(true);
      finishView_->hide();
      break;
    case Starting:
      if (animated) {
        fade(true, [self](bool) {
          if (self) self->startAcceleratingAnimation();
        });
        climbTimer_.start(UiTiming::ms(kClimbDelaySeconds));
      } else {
        percentLabel_->show();
        noAccelerateView_->hide();
      }
      goButton_->setEnabled(false);
      lineButton_->setEnabled(false);
      goButton_->setTitle(text("starting_button"));
      break;
    case Accelerated:
      updateAcceleratingPercent(1.0, animated, [self](bool) {
        if (!self) return;
        self->goButton_->setTitle(text("stop_button"));
        self->goButton_->setEnabled(true);
        self->finishView_->show();
        self->noAccelerateView_->hide();
        self->percentLabel_->hide();
        self->lineButton_->setEnabled(false);
        self->finishAccelerateAnimation();
      });
      UiTiming::after(kFinishReloadSeconds, finishView_, [self] {
        if (self) self->finishView_->reloadData();
      });
      break;
    case Busy:
      goButton_->setEnabled(false);
      break;
    default:
      break;
  }
  state_ = state;
}

void TsAccelerateView::reloadData() { topView_->getPackageInfo(); }

void TsAccelerateView::updateNewsButtonWithTitle(const QString& title, const QString& link) {
  newsButton_->setText(title);
  newsButton_->setFont(sheet().h3());
  newsButton_->setStyleSheet(
      QString("QPushButton { background: transparent; border: none; color: %1; "
              "text-decoration: underline; text-align: right; }")
          .arg(sheet().darkWhite().name()));
  newsButton_->setCursor(Qt::PointingHandCursor);
  newsURL_ = link.toStdString();
}

void TsAccelerateView::newsButtonClicked() {
  if (newsURL_.empty()) return;
  UrlOpener& opener = deps_.urlOpener ? *deps_.urlOpener : gelmora::ui::urlOpener();
  opener.openURL(newsURL_);
}
