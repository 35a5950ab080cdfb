// Draws the application's images (our own simple artwork) as PNG files at build time.
// Usage: gelmora_artwork <output folder> <name>...; an unknown name fails the build.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

namespace {

const QColor kGray(117, 127, 141);
const QColor kLight(174, 179, 194);
const QColor kDark(77, 69, 217);
const QColor kPink(191, 82, 150);

struct Art {
  int w, h;
  std::function<void(QPainter&, QRectF)> draw;
};

QBrush accent(QRectF r) {
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0, kDark);
  g.setColorAt(1, kPink);
  return g;
}

QBrush shade(QRectF r, bool highlighted) { return highlighted ? accent(r) : QBrush(kGray); }

void bolt(QPainter& p, QRectF r, bool hi) {
  QPainterPath path;
  const double x = r.x(), y = r.y(), w = r.width(), h = r.height();
  path.moveTo(x + w * 0.58, y + h * 0.04);
  path.lineTo(x + w * 0.18, y + h * 0.56);
  path.lineTo(x + w * 0.47, y + h * 0.56);
  path.lineTo(x + w * 0.38, y + h * 0.96);
  path.lineTo(x + w * 0.82, y + h * 0.40);
  path.lineTo(x + w * 0.52, y + h * 0.40);
  path.closeSubpath();
  p.fillPath(path, shade(r, hi));
}

void gem(QPainter& p, QRectF r, bool hi) {
  QPainterPath path;
  const double x = r.x(), y = r.y(), w = r.width(), h = r.height();
  path.moveTo(x + w * 0.25, y + h * 0.15);
  path.lineTo(x + w * 0.75, y + h * 0.15);
  path.lineTo(x + w * 0.95, y + h * 0.40);
  path.lineTo(x + w * 0.50, y + h * 0.92);
  path.lineTo(x + w * 0.05, y + h * 0.40);
  path.closeSubpath();
  p.fillPath(path, shade(r, hi));
  p.setPen(QPen(QColor(255, 255, 255, 150), 1.2));
  p.drawLine(QPointF(x + w * 0.05, y + h * 0.40), QPointF(x + w * 0.95, y + h * 0.40));
}

void person(QPainter& p, QRectF r, bool hi) {
  QPainterPath path;
  const double cx = r.center().x(), w = r.width(), h = r.height();
  path.addEllipse(QPointF(cx, r.y() + h * 0.30), w * 0.20, h * 0.20);
  QPainterPath body;
  body.moveTo(r.x() + w * 0.12, r.y() + h * 0.95);
  body.cubicTo(QPointF(r.x() + w * 0.12, r.y() + h * 0.55),
               QPointF(r.right() - w * 0.12, r.y() + h * 0.55),
               QPointF(r.right() - w * 0.12, r.y() + h * 0.95));
  body.closeSubpath();
  p.fillPath(path.united(body), shade(r, hi));
}

void cross(QPainter& p, QRectF r, QColor c) {
  p.setPen(QPen(c, 1.8, Qt::SolidLine, Qt::RoundCap));
  const QRectF in = r.adjusted(4, 4, -4, -4);
  p.drawLine(in.topLeft(), in.bottomRight());
  p.drawLine(in.topRight(), in.bottomLeft());
}

void power(QPainter& p, QRectF r, QColor c) {
  p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap));
  const QRectF ring =
      r.adjusted(r.width() * 0.2, r.height() * 0.22, -r.width() * 0.2, -r.height() * 0.18);
  p.drawArc(ring, 120 * 16, -240 * 16);
  p.drawLine(QPointF(r.center().x(), r.y() + r.height() * 0.12),
             QPointF(r.center().x(), r.center().y()));
}

void status(QPainter& p, QRectF r, QColor ring, bool dot) {
  p.setPen(QPen(ring, 2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(r.adjusted(2, 2, -2, -2));
  const QRectF boltBox = r.adjusted(5, 4, -5, -4);
  QPainterPath path;
  const double x = boltBox.x(), y = boltBox.y(), w = boltBox.width(), h = boltBox.height();
  path.moveTo(x + w * 0.6, y);
  path.lineTo(x + w * 0.1, y + h * 0.58);
  path.lineTo(x + w * 0.45, y + h * 0.58);
  path.lineTo(x + w * 0.35, y + h);
  path.lineTo(x + w * 0.9, y + h * 0.40);
  path.lineTo(x + w * 0.55, y + h * 0.40);
  path.closeSubpath();
  p.fillPath(path, ring);
  if (dot) p.fillRect(QRectF(r.right() - 6, r.bottom() - 6, 5, 5), QColor(255, 196, 0));
}

// The acceleration screen and the line choice.
void chevron(QPainter& p, QRectF r, bool up) {
  p.setPen(QPen(kGray, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  const QRectF in = r.adjusted(3, 3, -3, -3);
  if (up) {
    p.drawPolyline(
        QPolygonF({QPointF(in.left(), in.bottom() - 2), QPointF(in.center().x(), in.top() + 2),
                   QPointF(in.right(), in.bottom() - 2)}));
  } else {
    p.drawPolyline(
        QPolygonF({QPointF(in.right() - 2, in.top()), QPointF(in.left() + 2, in.center().y()),
                   QPointF(in.right() - 2, in.bottom())}));
  }
}

void tick(QPainter& p, QRectF r, bool on) {
  p.setPen(on ? Qt::NoPen : QPen(kLight, 1.5));
  p.setBrush(on ? QBrush(QColor(130, 123, 255)) : Qt::NoBrush);
  p.drawEllipse(r.adjusted(1, 1, -1, -1));
  if (on) {
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(r.width() * 0.28, r.height() * 0.52),
                              QPointF(r.width() * 0.44, r.height() * 0.68),
                              QPointF(r.width() * 0.72, r.height() * 0.36)}));
  }
}

}  // namespace

namespace {

// Pictures of the login screens: the brand picture, field icons, provider badges (a coloured
// disc with a letter, no maker's marks).
void addLoginArt(std::map<QString, Art>& a) {
  a["ic_login_left_bg"] = {352, 600, [](QPainter& p, QRectF r) {
                             QLinearGradient g(r.topLeft(), r.bottomRight());
                             g.setColorAt(0, QColor(46, 40, 110));
                             g.setColorAt(1, QColor(120, 52, 120));
                             p.fillRect(r, g);
                             p.setPen(Qt::NoPen);
                             for (int i = 0; i < 6; ++i) {
                               p.setBrush(QColor(255, 255, 255, 18 + i * 6));
                               const double s = 60 + i * 38;
                               p.drawEllipse(QPointF(r.width() * 0.35, r.height() * 0.62), s,
                                             s * 0.55);
                             }
                             QPainterPath path;
                             path.moveTo(170, 180);
                             path.lineTo(120, 300);
                             path.lineTo(165, 300);
                             path.lineTo(150, 400);
                             path.lineTo(225, 270);
                             path.lineTo(178, 270);
                             path.closeSubpath();
                             p.fillPath(path, QColor(255, 255, 255, 220));
                           }};
  a["ic_logo_light"] = {120, 32, [](QPainter& p, QRectF r) {
                          p.setPen(Qt::NoPen);
                          p.setBrush(Qt::white);
                          p.drawEllipse(QRectF(r.x(), r.y() + 4, 24, 24));
                          p.drawRoundedRect(QRectF(r.x() + 32, r.y() + 12, 80, 8), 4, 4);
                        }};
  a["ic_email"] = {21, 21, [](QPainter& p, QRectF r) {
                     p.setPen(QPen(kLight, 1.5));
                     const QRectF env = r.adjusted(2, 5, -2, -5);
                     p.drawRect(env);
                     p.drawLine(env.topLeft(), env.center());
                     p.drawLine(env.topRight(), env.center());
                   }};
  a["ic_data"] = {21, 21, [](QPainter& p, QRectF r) {
                    p.setPen(QPen(kLight, 1.5));
                    p.drawRoundedRect(r.adjusted(4, 9, -4, -2), 2, 2);
                    p.drawArc(r.adjusted(6, 2, -6, -8), 0, 180 * 16);
                  }};
  const struct {
    const char* name;
    QColor colour;
    const char* letter;
  } badges[] = {
      {"ic_login_wc", QColor(40, 180, 80), "W"},       {"ic_login_qq", QColor(30, 140, 220), "Q"},
      {"ic_login_facebook", QColor(60, 90, 160), "f"}, {"ic_login_ins", QColor(200, 70, 130), "i"},
      {"ic_login_gg", QColor(220, 80, 60), "G"},       {"ic_login_tt", QColor(40, 160, 230), "t"},
      {"ic_login_sina", QColor(220, 60, 50), "S"},     {"ic_login_line", QColor(0, 185, 0), "L"},
      {"ic_login_kakao", QColor(250, 220, 0), "K"}};
  for (const auto& b : badges) {
    const QColor colour = b.colour;
    const QString letter = QString::fromLatin1(b.letter);
    a[b.name] = {84, 84, [colour, letter](QPainter& p, QRectF r) {
                   p.setPen(Qt::NoPen);
                   p.setBrush(colour);
                   p.drawEllipse(r.adjusted(2, 2, -2, -2));
                   QFont f;
                   f.setPixelSize(44);
                   f.setBold(true);
                   p.setFont(f);
                   p.setPen(colour.lightness() > 160 ? QColor(40, 30, 20) : Qt::white);
                   p.drawText(r, Qt::AlignCenter, letter);
                 }};
  }
}

// Pictures of the phone forms and binding panels.
void addPhoneArt(std::map<QString, Art>& a) {
  a["ic_account"] = {21, 21, [](QPainter& p, QRectF r) {
                       p.setPen(QPen(kLight, 1.5));
                       p.setBrush(Qt::NoBrush);
                       p.drawRoundedRect(r.adjusted(5, 1.5, -5, -1.5), 2.5, 2.5);
                       p.drawLine(QPointF(9, 16.5), QPointF(12, 16.5));
                     }};
  a["ic_close_dark"] = {20, 20, [](QPainter& p, QRectF r) {
                          p.setPen(QPen(kLight, 2, Qt::SolidLine, Qt::RoundCap));
                          p.drawLine(r.topLeft() + QPointF(4, 4), r.bottomRight() - QPointF(4, 4));
                          p.drawLine(r.topRight() + QPointF(-4, 4),
                                     r.bottomLeft() + QPointF(4, -4));
                        }};
  a["ic_bind_success"] = {
      65, 65, [](QPainter& p, QRectF r) {
        p.setPen(Qt::NoPen);
        p.setBrush(accent(r));
        p.drawEllipse(r.adjusted(1, 1, -1, -1));
        p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath mark;
        mark.moveTo(18, 34);
        mark.lineTo(28, 44);
        mark.lineTo(47, 23);
        p.setBrush(Qt::NoBrush);
        p.drawPath(mark);
      }};
  a["ad"] = {226, 500, [](QPainter& p, QRectF r) {
               QLinearGradient g(r.topLeft(), r.bottomRight());
               g.setColorAt(0, QColor(46, 40, 110));
               g.setColorAt(1, QColor(120, 52, 120));
               p.fillRect(r, g);
               p.setPen(Qt::NoPen);
               for (int i = 0; i < 5; ++i) {
                 p.setBrush(QColor(255, 255, 255, 16 + i * 6));
                 const double s = 40 + i * 26;
                 p.drawEllipse(QPointF(r.width() * 0.5, r.height() * 0.58), s, s * 0.6);
               }
               QPainterPath shield;
               shield.moveTo(113, 190);
               shield.lineTo(153, 205);
               shield.cubicTo(153, 255, 133, 280, 113, 292);
               shield.cubicTo(93, 280, 73, 255, 73, 205);
               shield.closeSubpath();
               p.fillPath(shield, QColor(255, 255, 255, 220));
             }};
}

std::map<QString, Art> catalogue() {
  std::map<QString, Art> a;
  a["ic_error"] = {64, 64, [](QPainter& p, QRectF r) {
                     p.setBrush(QColor(255, 59, 48));
                     p.setPen(Qt::NoPen);
                     p.drawEllipse(r.adjusted(2, 2, -2, -2));
                     p.setBrush(Qt::white);
                     p.drawRoundedRect(QRectF(29, 14, 6, 26), 3, 3);
                     p.drawEllipse(QRectF(28.5, 44, 7, 7));
                   }};
  a["ic_logo"] = {56, 56, [](QPainter& p, QRectF r) {
                    p.setPen(Qt::NoPen);
                    p.setBrush(accent(r));
                    p.drawRoundedRect(r.adjusted(2, 2, -2, -2), 14, 14);
                    QPainterPath g;
                    g.addEllipse(r.center(), 15, 15);
                    QPainterPath hole;
                    hole.addEllipse(r.center(), 9, 9);
                    QPainterPath cut;
                    cut.addRect(QRectF(r.center().x(), r.center().y() - 15, 16, 12));
                    QPainterPath bar;
                    bar.addRect(QRectF(r.center().x(), r.center().y() - 2, 15, 5));
                    p.fillPath(g.subtracted(hole).subtracted(cut).united(bar), Qt::white);
                  }};
  for (bool hi : {false, true}) {
    const QString suffix = hi ? "_highlighted" : "";
    a["ic_accelerate" + suffix] = {30, 30, [hi](QPainter& p, QRectF r) { bolt(p, r, hi); }};
    a["topup" + suffix] = {30, 30, [hi](QPainter& p, QRectF r) { gem(p, r, hi); }};
    a["ic_more" + suffix] = {30, 30, [hi](QPainter& p, QRectF r) { person(p, r, hi); }};
    a["ic_close" + suffix] = {16, 16,
                              [hi](QPainter& p, QRectF r) { cross(p, r, hi ? Qt::white : kGray); }};
    a["ic_exit" + suffix] = {24, 24,
                             [hi](QPainter& p, QRectF r) { power(p, r, hi ? Qt::white : kGray); }};
  }
  a["ic_status"] = {22, 22, [](QPainter& p, QRectF r) { status(p, r, Qt::white, false); }};
  a["ic_status_disconnected"] = {22, 22,
                                 [](QPainter& p, QRectF r) { status(p, r, kLight, false); }};
  a["ic_status_busy"] = {22, 22, [](QPainter& p, QRectF r) { status(p, r, Qt::white, true); }};
  a["ic_accelerate_normal"] = {180, 180, [](QPainter& p, QRectF r) {
                                 p.setPen(QPen(QColor(60, 56, 90), 3));
                                 p.setBrush(QColor(36, 33, 56));
                                 p.drawEllipse(r.adjusted(4, 4, -4, -4));
                                 bolt(p, r.adjusted(50, 40, -50, -40), true);
                               }};
  a["ic_top_kefu"] = {16, 16, [](QPainter& p, QRectF r) {
                        p.setPen(Qt::NoPen);
                        p.setBrush(kLight);
                        p.drawRoundedRect(QRectF(1, 2, 14, 10), 3, 3);
                        p.drawPolygon(QPolygonF({QPointF(4, 11), QPointF(4, 15), QPointF(8, 11)}));
                        (void)r;
                      }};
  a["ic_top_share"] = {16, 16, [](QPainter& p, QRectF) {
                         p.setPen(QPen(kLight, 1.4));
                         p.setBrush(kLight);
                         p.drawLine(QPointF(4, 8), QPointF(12, 3));
                         p.drawLine(QPointF(4, 8), QPointF(12, 13));
                         for (QPointF c : {QPointF(4, 8), QPointF(12, 3), QPointF(12, 13)})
                           p.drawEllipse(c, 2.2, 2.2);
                       }};
  a["ic_top_set"] = {16, 16, [](QPainter& p, QRectF r) {
                       p.setPen(QPen(kLight, 2.4, Qt::SolidLine, Qt::RoundCap));
                       for (int i = 0; i < 4; ++i) {
                         p.save();
                         p.translate(r.center());
                         p.rotate(45 * i);
                         p.drawLine(QPointF(0, -7), QPointF(0, 7));
                         p.restore();
                       }
                       p.setPen(Qt::NoPen);
                       p.setBrush(kLight);
                       p.drawEllipse(r.center(), 5, 5);
                       p.setBrush(QColor(31, 29, 50));
                       p.drawEllipse(r.center(), 2.2, 2.2);
                     }};
  a["ic_hot_rec"] = {109, 33, [](QPainter& p, QRectF r) {
                       p.setPen(Qt::NoPen);
                       p.setBrush(accent(r));
                       p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 15, 15);
                       p.setPen(Qt::white);
                       QFont f = p.font();
                       f.setPixelSize(14);
                       f.setBold(true);
                       p.setFont(f);
                       p.drawText(r, Qt::AlignCenter, "HOT");
                     }};
  a["ic_location"] = {8, 10, [](QPainter& p, QRectF) {
                        QPainterPath pin;
                        pin.addEllipse(QRectF(0.5, 0.5, 7, 7));
                        QPainterPath tip;
                        tip.moveTo(1.2, 5.5);
                        tip.lineTo(4, 10);
                        tip.lineTo(6.8, 5.5);
                        tip.closeSubpath();
                        p.fillPath(pin.united(tip), QColor(110, 110, 148));
                        p.setBrush(QColor(31, 29, 50));
                        p.setPen(Qt::NoPen);
                        p.drawEllipse(QPointF(4, 4), 1.5, 1.5);
                      }};
  a["ic_line_selected"] = {18, 18, [](QPainter& p, QRectF r) { tick(p, r, true); }};
  a["ic_line_normal"] = {18, 18, [](QPainter& p, QRectF r) { tick(p, r, false); }};
  a["ic_line_arrow_left"] = {14, 14, [](QPainter& p, QRectF r) { chevron(p, r, false); }};
  a["ic_line_arrow_top"] = {14, 14, [](QPainter& p, QRectF r) { chevron(p, r, true); }};
  a["ic_line_change"] = {
      64, 64, [](QPainter& p, QRectF r) {
        p.setPen(Qt::NoPen);
        p.setBrush(accent(r));
        p.drawEllipse(r.adjusted(2, 2, -2, -2));
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(18, 26), QPointF(46, 26));
        p.drawPolyline(QPolygonF({QPointF(40, 20), QPointF(46, 26), QPointF(40, 32)}));
        p.drawLine(QPointF(18, 40), QPointF(46, 40));
        p.drawPolyline(QPolygonF({QPointF(24, 34), QPointF(18, 40), QPointF(24, 46)}));
      }};
  a["ic_node_country_all"] = {28, 20, [](QPainter& p, QRectF r) {
                                p.setPen(QPen(QColor(130, 123, 255), 1.5));
                                p.setBrush(Qt::NoBrush);
                                const QRectF globe(r.center().x() - 8.5, 1.5, 17, 17);
                                p.drawEllipse(globe);
                                p.drawEllipse(globe.adjusted(4.5, 0, -4.5, 0));
                                p.drawLine(QPointF(globe.left(), globe.center().y()),
                                           QPointF(globe.right(), globe.center().y()));
                              }};
  addLoginArt(a);
  addPhoneArt(a);
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: gelmora_artwork <folder> <name>...\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(folder);
  const auto art = catalogue();
  for (int i = 2; i < argc; ++i) {
    const QString name = QString::fromLocal8Bit(argv[i]);
    auto it = art.find(name);
    if (it == art.end()) {
      std::fprintf(stderr, "gelmora_artwork: no artwork named %s\n", argv[i]);
      return 1;
    }
    QImage image(it->second.w, it->second.h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter p(&image);
      p.setRenderHint(QPainter::Antialiasing);
      it->second.draw(p, QRectF(0, 0, it->second.w, it->second.h));
    }
    if (!image.save(folder + "/" + name + ".png")) {
      std::fprintf(stderr, "gelmora_artwork: cannot write %s\n", argv[i]);
      return 1;
    }
  }
  return 0;
}
