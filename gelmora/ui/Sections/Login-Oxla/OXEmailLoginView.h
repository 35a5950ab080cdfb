#pragma once
// The e-mail form a signed-out user sees first: log-in and sign-up tabs over one e-mail and one
// password field, one action button per tab, a collapsed code field, a hidden reset link and the
// row of outside-account buttons. Its screen binds the fields and buttons.
#include <QAbstractButton>
#include <QWidget>
#include <vector>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"

class OXEmailLoginView : public QWidget {
  Q_OBJECT
 public:
  explicit OXEmailLoginView(QWidget* parent = nullptr);

  bool isLogin() const { return isLogin_; }
  DRFlatButton* emailLoginBtn() const { return emailLoginBtn_; }
  DRFlatButton* emailSignupBtn() const { return emailSignupBtn_; }
  DRFlatButton* resetPasswordBtn() const { return resetPasswordBtn_; }
  QWidget* topLineView() const { return topLineView_; }
  TsLoginTextField* emailField() const { return emailField_; }
  TsLoginTextField* passwordField() const { return passwordField_; }
  TsLoginCodeTF* codeTF() const { return codeTF_; }
  TsFlatButton* loginButton() const { return loginButton_; }
  TsFlatButton* signupButton() const { return signupButton_; }
  QAbstractButton* wechatLoginButton() const { return wechat_; }
  QAbstractButton* qqLoginButton() const { return qq_; }
  QAbstractButton* facebookLoginButton() const { return facebook_; }
  QAbstractButton* insLoginButton() const { return ins_; }
  QAbstractButton* ggLoginButton() const { return gg_; }
  QAbstractButton* ttLoginButton() const { return tt_; }
  QAbstractButton* lineLoginButton() const { return line_; }
  QAbstractButton* kakaoLoginButton() const { return kakao_; }
  QAbstractButton* sinaLoginButton() const { return sina_; }
  QWidget* thirdLoginContainerView() const { return thirdLoginContainerView_; }
  QWidget* centerView() const { return centerView_; }

  // Shows the action button of one tab, collapses the code field, hides the reset link and
  // empties the three inputs (from code: the view model keeps its values). Tabs are unchanged.
  void toggleLogin(bool isLogin);
  // The action of both tabs.
  void toggleLoginType(DRFlatButton* sender);

 Q_SIGNALS:
  // The user switched tabs (the inputs were emptied).
  void loginTypeToggled(bool isLogin);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void configThirdLoginButtons();
  void layoutParts();

  bool isLogin_ = true;
  DRFlatButton *emailLoginBtn_, *emailSignupBtn_, *resetPasswordBtn_;
  QWidget* topLineView_;
  TsLoginTextField *emailField_, *passwordField_;
  TsLoginCodeTF* codeTF_;
  TsFlatButton *loginButton_, *signupButton_;
  QAbstractButton *wechat_ = nullptr, *qq_ = nullptr, *facebook_ = nullptr, *ins_ = nullptr,
                  *gg_ = nullptr, *tt_ = nullptr, *line_ = nullptr, *kakao_ = nullptr,
                  *sina_ = nullptr;
  std::vector<QAbstractButton*> shownProviders_;
  QWidget* thirdLoginContainerView_;
  QWidget* centerView_;
  // The code field's height and its gap under the e-mail field (0 on both tabs).
  int codeFieldHeight_ = 1;
  int codeFieldOffset_ = 30;
};
