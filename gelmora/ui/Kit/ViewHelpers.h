#pragma once
// Small helpers on widgets: texts without none, frame geometry by single values, a plain
// background colour. Frames are in the parent's coordinates with Qt's top-left origin, so `top`
// is the upper edge and `bottom` = top + height. Main thread only.
#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <optional>

namespace gelmora::ui {

// Text fields: the text, and setting it where none becomes the empty text.
QString textValue(const QLineEdit* field);
void setTextValue(QLineEdit* field, const std::optional<QString>& text);
void setTextValue(QLabel* label, const std::optional<QString>& text);

// Fills the widget's background with `color`.
void setBackgroundColor(QWidget* view, const QColor& color);

namespace Positioning {

inline int x(const QWidget* v) { return v->x(); }
inline int y(const QWidget* v) { return v->y(); }
inline int width(const QWidget* v) { return v->width(); }
inline int height(const QWidget* v) { return v->height(); }
inline int left(const QWidget* v) { return v->x(); }
inline int top(const QWidget* v) { return v->y(); }
inline int right(const QWidget* v) { return v->x() + v->width(); }
inline int bottom(const QWidget* v) { return v->y() + v->height(); }
inline double centerX(const QWidget* v) { return v->x() + v->width() / 2.0; }
inline double centerY(const QWidget* v) { return v->y() + v->height() / 2.0; }

void setX(QWidget* v, int value);
void setY(QWidget* v, int value);
void setWidth(QWidget* v, int value);
void setHeight(QWidget* v, int value);
inline void setLeft(QWidget* v, int value) { setX(v, value); }
inline void setTop(QWidget* v, int value) { setY(v, value); }
// Moves the view so that its right (bottom) edge is at `value`.
inline void setRight(QWidget* v, int value) { setX(v, value - v->width()); }
inline void setBottom(QWidget* v, int value) { setY(v, value - v->height()); }
void setCenterX(QWidget* v, double value);
void setCenterY(QWidget* v, double value);
void setOrigin(QWidget* v, QPoint origin);
void setSize(QWidget* v, QSize size);

// The child widget with the greatest x (y); the first in child order among equals; none without
// children.
QWidget* lastSubviewOnX(const QWidget* v);
QWidget* lastSubviewOnY(const QWidget* v);
// Centres the view in its parent; without a parent nothing happens.
void centerToParent(QWidget* v);

}  // namespace Positioning
}  // namespace gelmora::ui
