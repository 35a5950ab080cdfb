#include "ui/Sections/Login-Oxla/OXFormStyle.h"

#include <QPalette>
#include <QPushButton>

#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace gelmora::ui::OXFormStyle {

QColor ruleColor() { return QColor::fromRgbF(0.21f, 0.20f, 0.27f); }
QColor inputLineColor() { return QColor(54, 51, 70); }

QFont boldSystemFont(int pixelSize) {
  QFont f;
  f.setPixelSize(pixelSize);
  f.setBold(true);
  return f;
}

void styleInput(TsLoginTextField* field, const char* placeholderKey) {
  auto& style = TsStyleSheet::sharedInstance();
  auto* text = field->textField();
  text->setPlaceholderText(L10n::text(placeholderKey));
  text->setFont(style.h4());
  text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette pal = text->palette();
  pal.setColor(QPalette::PlaceholderText, style.lightGray());
  pal.setColor(QPalette::Base, style.backgroundColor());
  pal.setColor(QPalette::Text, Qt::white);
  text->setPalette(pal);
  text->setAutoFillBackground(true);
  setBackgroundColor(field->bottomLine(), inputLineColor());
}

DRFlatButton* makeTab(QWidget* parent, const char* titleKey, int pixelSize,
                      const QColor& offColor) {
  auto* b = new DRFlatButton(parent);
  b->setMomentary(false);
  b->setTitle(L10n::text(titleKey));
  b->setFont(boldSystemFont(pixelSize));
  b->setTitleNormalColor(offColor);
  b->setTitleHighlightColor(QColor(Qt::white));
  return b;
}

QAbstractButton* makeProviderButton(QWidget* parent, const char* imageName) {
  auto* b = new QPushButton(parent);
  b->setFlat(true);
  b->setIcon(Images::icon(imageName));
  b->setIconSize(QSize(42, 42));
  b->setStyleSheet("QPushButton { border: none; background: transparent; }");
  b->setCursor(Qt::PointingHandCursor);
  return b;
}

void layoutProviderRow(QWidget* row, const std::vector<QAbstractButton*>& buttons) {
  constexpr int kSide = 42;
  const int n = static_cast<int>(buttons.size());
  if (n == 0) return;
  const double gap = double(row->width() - n * kSide) / (n + 1);
  const int y = (row->height() - kSide) / 2;
  for (int i = 0; i < n; ++i)
    buttons[i]->setGeometry(int(gap * (i + 1) + kSide * i + 0.5), y, kSide, kSide);
}

}  // namespace gelmora::ui::OXFormStyle
