#pragma once
// The form that sets a new password with a code sent to the account's e-mail address: address,
// code with its get-code button, new password, the reset button and the way back to sign-in.
#include <QWidget>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"

class OXEmailResetPassView : public QWidget {
  Q_OBJECT
 public:
  explicit OXEmailResetPassView(QWidget* parent = nullptr);

  QWidget* topLineView() const { return topLineView_; }
  TsLoginTextField* emailField() const { return emailField_; }
  TsLoginTextField* passwordField() const { return passwordField_; }
  TsLoginCodeTF* codeTF() const { return codeTF_; }
  TsFlatButton* resetButton() const { return resetButton_; }
  DRFlatButton* emailLoginButton() const { return emailLoginButton_; }
  DRFlatButton* emailLoginBtn() const { return emailLoginBtn_; }
  QWidget* centerView() const { return centerView_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  QWidget* topLineView_;
  TsLoginTextField* emailField_;
  TsLoginTextField* passwordField_;
  TsLoginCodeTF* codeTF_;
  TsFlatButton* resetButton_;
  DRFlatButton* emailLoginButton_;
  DRFlatButton* emailLoginBtn_;
  QWidget* centerView_;
};
