#include "ui/Application/Windows.h"

#include <QApplication>
#include <QPointer>

namespace gelmora::ui {

namespace {
QPointer<QWidget>& mainWindowRef() {
  static QPointer<QWidget> window;
  return window;
}
}  // namespace

QWidget* mainWindow() { return mainWindowRef().data(); }

void setMainWindow(QWidget* window) { mainWindowRef() = window; }

QWidget* keyWindow() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  QWidget* main = mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

}  // namespace gelmora::ui
