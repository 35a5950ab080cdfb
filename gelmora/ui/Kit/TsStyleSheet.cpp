#include "ui/Kit/TsStyleSheet.h"

#include <QStringList>
#include <cmath>

#include "gelmora/Core/BHAppPackage.h"

TsStyleSheet& TsStyleSheet::sharedInstance() {
  static TsStyleSheet* sheet = new TsStyleSheet;  // kept for the whole run
  return *sheet;
}

// The locator's entry for the style sheet lives with the style sheet, in the Qt part.
TsStyleSheet& BHAppPackage::style() const { return TsStyleSheet::sharedInstance(); }

QColor TsStyleSheet::gradientDark() const { return QColor::fromRgbF(0.3f, 0.27f, 0.85f, 1); }
QColor TsStyleSheet::gradientLight() const { return QColor::fromRgbF(0.75f, 0.32f, 0.59f, 1); }
QColor TsStyleSheet::darkGray() const { return QColor(117, 127, 141); }
QColor TsStyleSheet::lightGray() const { return QColor::fromRgbF(0.68f, 0.7f, 0.76f, 1); }
QColor TsStyleSheet::darkWhite() const { return QColor::fromRgbF(0.54f, 0.59f, 0.67f, 1); }
QColor TsStyleSheet::backgroundColor() const { return QColor(31, 29, 50); }
QColor TsStyleSheet::lightBlue() const { return QColor::fromRgbF(0.17f, 0.74f, 0.83f, 1); }

QFont TsStyleSheet::fontWithSize(double size) const {
  QFont font;
  font.setFamilies({QStringLiteral("HelveticaNeue"), QStringLiteral("Helvetica Neue"),
                    QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK SC")});
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
  return font;
}
