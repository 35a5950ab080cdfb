#include "ui/Legacy/BYOButton.h"

#include <QGuiApplication>

namespace gelmora::ui {

BYOButton::BYOButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setFlat(false);
}

void BYOButton::enterEvent(QEnterEvent* event) {
  if (QGuiApplication::applicationState() == Qt::ApplicationActive) setFlat(false);
  QPushButton::enterEvent(event);
}

void BYOButton::leaveEvent(QEvent* event) {
  if (QGuiApplication::applicationState() == Qt::ApplicationActive) setFlat(true);
  QPushButton::leaveEvent(event);
}

}  // namespace gelmora::ui
