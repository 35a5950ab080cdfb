#include "ui/Kit/BezierPath.h"

namespace gelmora::ui {

namespace {
std::optional<QPainterPath> convert(const BezierPath& in, bool closing) {
  if (in.elements.empty()) return std::nullopt;
  QPainterPath out;
  bool closed = true;
  for (const auto& e : in.elements) {
    switch (e.kind) {
      case BezierPath::MoveTo:
        out.moveTo(e.points[0]);
        break;
      case BezierPath::LineTo:
        out.lineTo(e.points[0]);
        closed = false;
        break;
      case BezierPath::CurveTo:
        out.cubicTo(e.points[0], e.points[1], e.points[2]);
        closed = false;
        break;
      case BezierPath::ClosePath:
        if (closing) {
          out.closeSubpath();
          closed = true;
        }
        break;
    }
  }
  if (closing && !closed) out.closeSubpath();
  return out;
}
}  // namespace

std::optional<QPainterPath> quartzPath(const BezierPath& path) { return convert(path, true); }

std::optional<QPainterPath> quartzPathNoClose(const BezierPath& path) {
  return convert(path, false);
}

}  // namespace gelmora::ui
