#include "ui/Kit/Ticker.h"

#include "ui/Kit/UiTiming.h"

namespace gelmora::ui {

QtTicker::QtTicker(QObject* parent) : Ticker(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &Ticker::tick);
}

void QtTicker::start(double seconds) { timer_.start(std::max(1, UiTiming::ms(seconds))); }

int ManualTicker::fire(int count) {
  int sent = 0;
  for (int i = 0; i < count && active_; ++i) {
    Q_EMIT tick();
    ++sent;
  }
  return sent;
}

TickerFactory qtTickers() {
  return [] { return std::make_unique<QtTicker>(); };
}

}  // namespace gelmora::ui
