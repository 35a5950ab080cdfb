#pragma once
// The dial: 120 tick marks lit by a gradient (magenta at the bottom to blue at the top) around a
// dark disc. The acceleration view sets the light's opacity and turns the lit ring.
#include <QLineF>
#include <QVariantAnimation>
#include <QWidget>
#include <vector>

class TsAccelerateScaleView : public QWidget {
  Q_OBJECT
 public:
  explicit TsAccelerateScaleView(QWidget* parent = nullptr);

  static constexpr int kTickCount = 120;
  static constexpr double kTickLength = 30;

  double lightOpacity() const { return lightOpacity_; }
  void setLightOpacity(double opacity);
  // One turn per `seconds` (scaled by UiTiming), repeated until stopped.
  void startRotation(double seconds);
  void stopRotation();
  bool rotating() const { return rotation_.state() == QAbstractAnimation::Running; }
  double rotationDegrees() const { return angle_; }

  // The tick segments (outer end first) and the disc radius for the current size.
  const std::vector<QLineF>& ticks() const { return ticks_; }
  double discRadius() const { return discRadius_; }
  void updateScalePath();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::vector<QLineF> ticks_;
  double discRadius_ = 0;
  double lightOpacity_ = 0.3;
  double angle_ = 0;
  QVariantAnimation rotation_;
};
