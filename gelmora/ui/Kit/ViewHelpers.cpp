#include "ui/Kit/ViewHelpers.h"

#include <cmath>

namespace gelmora::ui {

QString textValue(const QLineEdit* field) { return field->text(); }

void setTextValue(QLineEdit* field, const std::optional<QString>& text) {
  field->setText(text.value_or(QString()));
}

void setTextValue(QLabel* label, const std::optional<QString>& text) {
  label->setText(text.value_or(QString()));
}

void setBackgroundColor(QWidget* view, const QColor& color) {
  QPalette palette = view->palette();
  palette.setColor(QPalette::Window, color);
  view->setPalette(palette);
  view->setAutoFillBackground(true);
}

namespace Positioning {

void setX(QWidget* v, int value) { v->move(value, v->y()); }
void setY(QWidget* v, int value) { v->move(v->x(), value); }
void setWidth(QWidget* v, int value) { v->resize(value, v->height()); }
void setHeight(QWidget* v, int value) { v->resize(v->width(), value); }

void setCenterX(QWidget* v, double value) {
  setX(v, static_cast<int>(std::lround(value - centerX(v) + v->x())));
}

void setCenterY(QWidget* v, double value) {
  setY(v, static_cast<int>(std::lround(value - centerY(v) + v->y())));
}

void setOrigin(QWidget* v, QPoint origin) {
  setX(v, origin.x());
  setY(v, origin.y());
}

void setSize(QWidget* v, QSize size) {
  setWidth(v, size.width());
  setHeight(v, size.height());
}

namespace {
template <class Key>
QWidget* lastChildBy(const QWidget* v, Key key) {
  QWidget* best = nullptr;
  for (QObject* o : v->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (!w || w->isWindow()) continue;
    if (!best || key(w) > key(best)) best = w;
  }
  return best;
}
}  // namespace

QWidget* lastSubviewOnX(const QWidget* v) {
  return lastChildBy(v, [](const QWidget* w) { return w->x(); });
}

QWidget* lastSubviewOnY(const QWidget* v) {
  return lastChildBy(v, [](const QWidget* w) { return w->y(); });
}

void centerToParent(QWidget* v) {
  QWidget* parent = v->parentWidget();
  if (!parent || v->isWindow()) return;
  setOrigin(v, QPoint(static_cast<int>(std::lround(parent->width() / 2.0 - v->width() / 2.0)),
                      static_cast<int>(std::lround(parent->height() / 2.0 - v->height() / 2.0))));
}

}  // namespace Positioning
}  // namespace gelmora::ui
