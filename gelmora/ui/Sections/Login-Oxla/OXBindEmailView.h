#pragma once
// The panel on which a signed-in user links an e-mail address: heading, e-mail, code and password
// fields, the confirm button (its owner wires it) and cancel, which hides the panel and keeps the
// inputs. Designed at 600×500.
#include <QWidget>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"

class OXBindEmailView : public QWidget {
  Q_OBJECT
 public:
  explicit OXBindEmailView(QWidget* parent = nullptr);

  QWidget* topLineView() const { return topLineView_; }
  TsLoginTextField* emailField() const { return emailField_; }
  TsLoginTextField* passwordField() const { return passwordField_; }
  TsLoginCodeTF* codeTF() const { return codeTF_; }
  TsFlatButton* resetButton() const { return resetButton_; }
  // The cancel button.
  DRFlatButton* emailLoginButton() const { return emailLoginButton_; }
  // The heading, a button in its on state.
  DRFlatButton* emailLoginBtn() const { return emailLoginBtn_; }
  QWidget* centerView() const { return centerView_; }

  // Hides the panel; clears nothing, stops nothing, posts nothing.
  void cancel();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  QWidget* topLineView_;
  TsLoginTextField *emailField_, *passwordField_;
  TsLoginCodeTF* codeTF_;
  TsFlatButton* resetButton_;
  DRFlatButton *emailLoginButton_, *emailLoginBtn_;
  QWidget* centerView_;
};
