#include "ui/Kit/TsTextField.h"

TsTextField::TsTextField(QWidget* parent) : QLineEdit(parent) {}

QColor TsTextField::insertionPointColor() const {
  // The line edit draws its cursor in the text colour.
  return palette().color(QPalette::Text);
}

void TsTextField::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  QPalette p = palette();
  p.setColor(QPalette::Text, Qt::white);
  setPalette(p);
}

TsSecureTextField::TsSecureTextField(QWidget* parent) : TsTextField(parent) {
  setEchoMode(QLineEdit::Password);
}
