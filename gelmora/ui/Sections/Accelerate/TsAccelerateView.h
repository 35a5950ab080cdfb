#pragma once
// The acceleration screen's content: the dial with its percentage, the start/stop button, the
// chosen line and mode, the package strip, three top buttons, a news link and a recommendation
// button. It has four looks (0 idle, 1 starting, 2 accelerated, 3 busy) and the animations
// between them; the controller decides the state. Every duration goes through UiTiming.
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>
#include <array>
#include <functional>
#include <string>

#include "ui/Sections/Accelerate/TsAccelerateFinishView.h"
#include "ui/Sections/Accelerate/TsAccelerateTopView.h"

class DRFlatButton;
class TsFlatButton;
class TsAccelerateScaleView;
class UrlOpener;

struct TsAccelerateViewDependencies {
  TsAccelerateFinishView::GeoLookup geo;  // TsfetchIPService::fetchPublicIP
  AppUserDefaults* defaults = nullptr;    // app().defaults()
  TsAccelerateTopDependencies strip;
  UrlOpener* urlOpener = nullptr;  // gelmora::ui::urlOpener()
};

class TsAccelerateView : public QWidget {
  Q_OBJECT
 public:
  enum State : int64_t { Idle = 0, Starting = 1, Accelerated = 2, Busy = 3 };
  using Dependencies = TsAccelerateViewDependencies;
  using Completion = std::function<void(bool finished)>;

  explicit TsAccelerateView(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsAccelerateView() override;

  void changeState(int64_t state, bool animated);
  int64_t state() const { return state_; }
  void updateAcceleratingPercent(double target, bool animated, Completion completion = {});
  double percent() const { return percent_; }
  void reloadData();
  void updateNewsButtonWithTitle(const QString& title, const QString& link);
  void resetAccelerateViewState();
  void startAcceleratingAnimation();
  void stopAcceleratingAnimation();
  void finishAccelerateAnimation() { stopAcceleratingAnimation(); }

  // "%2.0f%%" of value × 100.
  static QString percentText(double value);
  // The design's duration of a percentage move, in seconds (before UiTiming's scale).
  static double percentDurationSeconds(double from, double to);

  // Sub-views, as the controller and tests reach them.
  QWidget* centerView() const { return centerView_; }
  TsFlatButton* goButton() const { return goButton_; }
  QLabel* trafficLabel() const { return trafficLabel_; }
  QCheckBox* bootCheckBox() const { return bootCheckBox_; }
  QPushButton* newsButton() const { return newsButton_; }
  QPushButton* recommendButton() const { return recommendButton_; }
  DRFlatButton* lineButton() const { return lineButton_; }
  QLabel* lineLabel() const { return lineLabel_; }
  QLabel* modeLabel() const { return modeLabel_; }
  QPushButton* goImageButton() const { return goImageButton_; }
  QLabel* noAccelerateView() const { return noAccelerateView_; }
  TsAccelerateScaleView* scaleView() const { return scaleView_; }
  TsAccelerateFinishView* finishView() const { return finishView_; }
  QLabel* percentLabel() const { return percentLabel_; }
  TsAccelerateTopView* topView() const { return topView_; }
  QPushButton* topButton(int index) const { return topButtons_.at(index); }
  const std::string& newsURL() const { return newsURL_; }

  std::function<void(int index)> topBtnBlock;

  // For tests: whether the delayed climb to 98 % is still due, and the running percentage move.
  bool climbPending() const { return climbTimer_.isActive(); }
  QVariantAnimation* percentAnimation() const { return percentAnimation_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void setPercentValue(double value);
  void removePercentAnimation();
  void fade(bool intoStarting, Completion completion);
  void finishFade();
  void newsButtonClicked();

  Dependencies deps_;
  int64_t state_ = Idle;
  double percent_ = 0;
  std::string newsURL_;

  QWidget* centerView_;
  TsAccelerateTopView* topView_;
  TsFlatButton* goButton_;
  QCheckBox* bootCheckBox_;
  QPushButton* newsButton_;
  QPushButton* recommendButton_;
  QPushButton* goImageButton_;
  QLabel* lineLabel_;
  DRFlatButton* lineButton_;
  QLabel* modeLabel_;
  QLabel* trafficLabel_;
  TsAccelerateScaleView* scaleView_;
  QLabel* percentLabel_;
  QLabel* noAccelerateView_;
  TsAccelerateFinishView* finishView_;
  std::array<QPushButton*, 3> topButtons_{};

  QPointer<QVariantAnimation> percentAnimation_;
  Completion percentCompletion_;
  QTimer climbTimer_;
  QVariantAnimation fade_;
  bool fadeIntoStarting_ = false;
  Completion fadeCompletion_;
};
