#pragma once
// The phone number input with its dial code: an icon, a rounded label showing the chosen dial
// code, an invisible pop-up list lying over that label (entry i = item i of the dial-code list),
// the number field and a bottom line. It sends and checks nothing: screens read the number from
// textField() and the dial code from countryCodeLabel(), whose textChanged reports every change,
// chosen or set from code.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include "ui/Kit/TsTextField.h"

class TsCountryCodeProvider;

class TsPhoneTextField : public QWidget {
  Q_OBJECT
 public:
  // `provider`: none is the shared list.
  explicit TsPhoneTextField(QWidget* parent = nullptr,
                            const TsCountryCodeProvider* provider = nullptr);

  QLabel* iconView() const { return iconView_; }
  QLineEdit* countryCodeLabel() const { return countryCodeLabel_; }
  QComboBox* countryCodeButton() const { return countryCodeButton_; }
  TsTextField* textField() const { return textField_; }
  QWidget* bottomLine() const { return bottomLine_; }

  // One pop-up entry per item, "name  +code"; then updateCountryCode. Called once at creation.
  void fillCountryCodeData();
  // Copies the selected item's dial code into the label (empty when the list names none).
  void updateCountryCode();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  const TsCountryCodeProvider* provider_;
  QLabel* iconView_;
  QLineEdit* countryCodeLabel_;
  QComboBox* countryCodeButton_;
  TsTextField* textField_;
  QWidget* bottomLine_;
};
