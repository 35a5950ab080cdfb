#pragma once
// A bezier path as a list of elements (move, line, curve, close), and its conversion to a
// QPainterPath for drawing.
#include <QPainterPath>
#include <QPointF>
#include <optional>
#include <vector>

namespace gelmora::ui {

struct BezierPath {
  enum Kind { MoveTo, LineTo, CurveTo, ClosePath };
  struct Element {
    Kind kind;
    // MoveTo, LineTo: the point; CurveTo: control 1, control 2, end point.
    QPointF points[3];
  };
  std::vector<Element> elements;

  BezierPath& moveTo(QPointF p) { return add({MoveTo, {p, {}, {}}}); }
  BezierPath& lineTo(QPointF p) { return add({LineTo, {p, {}, {}}}); }
  BezierPath& curveTo(QPointF end, QPointF c1, QPointF c2) { return add({CurveTo, {c1, c2, end}}); }
  BezierPath& closePath() { return add({ClosePath, {}}); }

 private:
  BezierPath& add(Element e) {
    elements.push_back(e);
    return *this;
  }
};

// The path, its last subpath closed when the path drew a line or curve after its last close;
// none for a path without elements.
std::optional<QPainterPath> quartzPath(const BezierPath& path);
// The same without closing anything: close elements are skipped.
std::optional<QPainterPath> quartzPathNoClose(const BezierPath& path);

}  // namespace gelmora::ui
