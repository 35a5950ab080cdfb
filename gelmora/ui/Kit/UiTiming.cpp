#include "ui/Kit/UiTiming.h"

#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstdlib>

namespace gelmora::ui {

namespace {
std::atomic<double>& factor() {
  static std::atomic<double> f{UiTiming::parseScale(std::getenv("GELMORA_UI_TIME_SCALE"))};
  return f;
}
}  // namespace

double UiTiming::parseScale(const char* text) {
  if (!text || !*text) return 1.0;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v) || v <= 0) return 1.0;
  return v;
}

double UiTiming::scale() { return factor().load(); }

void UiTiming::setScale(double f) { factor() = (std::isfinite(f) && f > 0) ? f : 1.0; }

int UiTiming::ms(double seconds) {
  const double v = seconds * 1000.0 * scale();
  if (!std::isfinite(v) || v <= 0) return 0;
  return v > 1e9 ? 1000000000 : static_cast<int>(std::lround(v));
}

void UiTiming::after(double seconds, QObject* context, std::function<void()> task) {
  QTimer::singleShot(ms(seconds), context, std::move(task));
}

}  // namespace gelmora::ui
