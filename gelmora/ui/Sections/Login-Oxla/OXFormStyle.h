#pragma once
// Look shared by the e-mail forms: the input style, tab/heading buttons and the provider row.
#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QWidget>
#include <vector>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsLoginTextField.h"

namespace gelmora::ui::OXFormStyle {

// Colour of the rule under a form's heading.
QColor ruleColor();
// Colour of the inputs' bottom lines.
QColor inputLineColor();
QFont boldSystemFont(int pixelSize);
// Placeholder of `placeholderKey` in the light grey h4 font, the bottom line recoloured and the
// field's background the style sheet's.
void styleInput(TsLoginTextField* field, const char* placeholderKey);
// A form heading or tab: not momentary, bold, off title `offColor`, on title white.
DRFlatButton* makeTab(QWidget* parent, const char* titleKey, int pixelSize, const QColor& offColor);
// A borderless provider button showing `imageName` scaled to fit.
QAbstractButton* makeProviderButton(QWidget* parent, const char* imageName);
// Spreads `buttons` (42 by 42) along `row` with equal gaps, also before the first and after the
// last, centred vertically.
void layoutProviderRow(QWidget* row, const std::vector<QAbstractButton*>& buttons);

}  // namespace gelmora::ui::OXFormStyle
