#include "ui/Sections/Login/TsPanelStyle.h"

#include <QPalette>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace gelmora::ui::TsPanelStyle {

QColor panelColor() { return QColor(42, 38, 66); }
QColor inputLineColor() { return QColor(54, 51, 70); }

QFont boldSystemFont(int pixelSize) {
  QFont f = systemFont(pixelSize);
  f.setBold(true);
  return f;
}

QFont systemFont(int pixelSize) {
  QFont f;
  f.setPixelSize(pixelSize);
  return f;
}

void styleInput(QLineEdit* text, QWidget* bottomLine, const char* placeholderKey) {
  auto& style = TsStyleSheet::sharedInstance();
  if (placeholderKey) text->setPlaceholderText(L10n::text(placeholderKey));
  text->setFont(style.h4());
  text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette pal = text->palette();
  pal.setColor(QPalette::PlaceholderText, style.lightGray());
  pal.setColor(QPalette::Base, panelColor());
  pal.setColor(QPalette::Text, Qt::white);
  text->setPalette(pal);
  text->setAutoFillBackground(true);
  setBackgroundColor(bottomLine, inputLineColor());
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QFont& font, const QColor& colour,
                  Qt::Alignment alignment) {
  auto* label = new QLabel(text, parent);
  label->setFont(font);
  label->setAlignment(alignment);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, colour);
  pal.setColor(QPalette::Window, panelColor());
  label->setPalette(pal);
  label->setAutoFillBackground(true);
  return label;
}

DRFlatButton* makeSkipButton(QWidget* parent) {
  auto* b = new DRFlatButton(parent);
  b->setMomentary(true);
  b->setTitle(L10n::text("跳过>>"));
  b->setTitleNormalColor(QColor(Qt::white));
  b->setFont(boldSystemFont(15));
  b->setBackgroundNormalColor(panelColor());
  return b;
}

std::string brandWebDomain() {
  auto env = app().env();
  return env ? env->WebDomain() : std::string();
}

QString linkHtml(const QString& text, const std::string& url, const QColor& colour) {
  return QStringLiteral(
             "<div align=\"center\"><a href=\"%1\" style=\"color:%2;"
             " text-decoration:none\">%3</a></div>")
      .arg(QString::fromStdString(url).toHtmlEscaped(), colour.name(), text.toHtmlEscaped());
}

QString format(const QString& format, const QString& argument) {
  QString out = format;
  const int at = out.indexOf(QLatin1String("%@"));
  if (at >= 0) out.replace(at, 2, argument);
  return out;
}

}  // namespace gelmora::ui::TsPanelStyle
