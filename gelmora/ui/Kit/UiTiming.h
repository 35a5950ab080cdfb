#pragma once
// The one source of durations for animations and UI delays, so that tests can run them fast. The
// installed program reads GELMORA_UI_TIME_SCALE once (a positive number; anything else is 1).
#include <QObject>
#include <functional>

namespace gelmora::ui {

class UiTiming {
 public:
  // The factor every UI duration is multiplied by.
  static double scale();
  // Tests set the factor (0.01 makes a 0.3 s delay 3 ms); a value that is not positive and
  // finite restores 1.
  static void setScale(double factor);
  // Parses a factor as GELMORA_UI_TIME_SCALE holds it: a positive finite number, else 1.
  static double parseScale(const char* text);

  // `seconds` of the design, scaled, in whole milliseconds (at least 0).
  static int ms(double seconds);
  // Runs `task` once, `seconds` (scaled) from now, unless `context` is destroyed first.
  static void after(double seconds, QObject* context, std::function<void()> task);
};

}  // namespace gelmora::ui
