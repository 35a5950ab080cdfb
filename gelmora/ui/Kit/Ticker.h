#pragma once
// Periodic ticks for count-downs and refreshes. Screens take a ticker at construction: the real
// one runs on a Qt timer (scaled by UiTiming), tests fire a ManualTicker by hand.
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace gelmora::ui {

class Ticker : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  // Starts (or restarts) ticking every `seconds` of the design.
  virtual void start(double seconds) = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;

 Q_SIGNALS:
  void tick();
};

class QtTicker : public Ticker {
  Q_OBJECT
 public:
  explicit QtTicker(QObject* parent = nullptr);
  void start(double seconds) override;
  void stop() override { timer_.stop(); }
  bool isActive() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

class ManualTicker : public Ticker {
  Q_OBJECT
 public:
  using Ticker::Ticker;
  void start(double seconds) override {
    interval_ = seconds;
    active_ = true;
  }
  void stop() override { active_ = false; }
  bool isActive() const override { return active_; }
  double interval() const { return interval_; }
  // Sends `count` ticks while active (a tick handler may stop it); answers how many were sent.
  int fire(int count = 1);

 private:
  bool active_ = false;
  double interval_ = 0;
};

// Makes a ticker for a screen; the default makes QtTickers.
using TickerFactory = std::function<std::unique_ptr<Ticker>()>;
TickerFactory qtTickers();

}  // namespace gelmora::ui
