#pragma once
// Look shared by the binding panels: the panel colour, inputs on it, titles, notices and the
// "skip" link.
#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <string>

#include "ui/Kit/DRFlatButton.h"

namespace gelmora::ui::TsPanelStyle {

// (42, 38, 66): panel and label backgrounds.
QColor panelColor();
// (54, 51, 70): the inputs' bottom lines.
QColor inputLineColor();
QFont boldSystemFont(int pixelSize);
QFont systemFont(int pixelSize);
// An input on the panel: white text on the panel colour, the placeholder of `placeholderKey` in
// the light grey h4 font (none: left as it is), the bottom line recoloured.
void styleInput(QLineEdit* text, QWidget* bottomLine, const char* placeholderKey);
// A read-only text on the panel colour.
QLabel* makeLabel(QWidget* parent, const QString& text, const QFont& font, const QColor& colour,
                  Qt::Alignment alignment);
// The "跳过>>" link: white bold 15 on the panel colour.
DRFlatButton* makeSkipButton(QWidget* parent);
// The brand's web host (the environment's WebDomain; empty without an environment).
std::string brandWebDomain();
// One link of `text` to `url` in `colour`, centred, for a TsHyperlinkTextField.
QString linkHtml(const QString& text, const std::string& url, const QColor& colour);
// Fills `text` with `format`, its "%@" replaced by `argument`.
QString format(const QString& format, const QString& argument);

}  // namespace gelmora::ui::TsPanelStyle
