#include "ui/Sections/Login/TsCountryCodePopupButton.h"

TsCountryCodePopupButton::TsCountryCodePopupButton(QWidget* parent) : QComboBox(parent) {
  addItem(QStringLiteral("123 123"));
}

QString TsCountryCodePopupButton::itemTitleAtIndex(int) const { return QStringLiteral("111"); }
