#include "ui/Application/QtProcessControl.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdlib>

namespace gelmora::ui {

void QtProcessControl::exit(int status) {
  auto* app = QCoreApplication::instance();
  // QCoreApplication::exit does nothing before the loop runs; the status must not be lost.
  if (app && app->thread()->loopLevel() > 0) {
    QCoreApplication::exit(status);
  } else {
    std::exit(status);
  }
}

}  // namespace gelmora::ui
