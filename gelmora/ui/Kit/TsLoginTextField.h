#pragma once
// The input of the login and binding forms: an icon on the left, a borderless text field beside
// it and a thin line along the bottom. Its size comes from its owner.
#include <QLabel>
#include <QPixmap>
#include <QWidget>

#include "ui/Kit/TsTextField.h"

class TsLoginTextField : public QWidget {
  Q_OBJECT
 public:
  TsLoginTextField(const QPixmap& icon, bool isSecure, QWidget* parent = nullptr);

  // The editable text (a TsSecureTextField for a secure input).
  TsTextField* textField() const { return textField_; }
  QWidget* bottomLine() const { return bottomLine_; }
  QLabel* iconView() const { return iconView_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  QLabel* iconView_;
  TsTextField* textField_;
  QWidget* bottomLine_;
};
