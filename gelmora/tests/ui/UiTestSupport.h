#pragma once
// Helpers of the widget tests: waiting on a condition with a deadline, capturing log lines.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gelmora/Core/Log.h"

namespace gelmora::ui::test {

// Processes events until `done` holds or `timeoutMs` of real time passes (a guard against hangs,
// not a timer of ours); answers `done()`.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(1);
  }
  return true;
}

// Collects log lines while it lives.
class LogCapture {
 public:
  LogCapture() {
    gelmora::setLogSink([this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { gelmora::setLogSink({}); }
  bool contains(const std::string& part) const {
    std::lock_guard lock(mu_);
    for (const auto& l : lines_) {
      if (l.find(part) != std::string::npos) return true;
    }
    return false;
  }
  size_t count(const std::string& part) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const auto& l : lines_) n += l.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

}  // namespace gelmora::ui::test
