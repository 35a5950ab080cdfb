#pragma once
// The phone login form: a picture on the left and, on the right, two tabs (phone and code, or
// sign-in with a password), the phone or e-mail field, the code or password field, the sign-in
// button, the remember-login box and the outside-account row. A plain view: it switches its
// elements between the modes; its controller wires the actions and reads the fields.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsHyperlinkTextField.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Sections/Login/TsDragableImageView.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"
#include "ui/Sections/Login/TsPhoneTextField.h"

class UrlOpener;
class TsCountryCodeProvider;

class TsLoginView : public QWidget {
  Q_OBJECT
 public:
  struct Options {
    std::optional<std::string> webDomain;                 // links' host; none: the brand's
    UrlOpener* opener = nullptr;                          // none: the application's
    const TsCountryCodeProvider* countryCodes = nullptr;  // none: the shared list
  };
  explicit TsLoginView(QWidget* parent = nullptr);
  TsLoginView(Options options, QWidget* parent);

  bool emailLogin() const { return emailLogin_; }
  bool isPhoneLogin() const { return isPhoneLogin_; }
  TsDragableImageView* adView() const { return adView_; }
  QLabel* logoView() const { return logoView_; }
  // Built, placed by nobody: the controller gives it its action.
  QPushButton* closeButton() const { return closeButton_; }
  QWidget* formView() const { return formView_; }
  QWidget* centerView() const { return centerView_; }
  DRFlatButton* phoneLoginBtn() const { return phoneLoginBtn_; }
  DRFlatButton* pwdLoginBtn() const { return pwdLoginBtn_; }
  QWidget* topLineView() const { return topLineView_; }
  TsPhoneTextField* userNameField() const { return userNameField_; }
  TsLoginTextField* emailField() const { return emailField_; }
  TsLoginTextField* passwordField() const { return passwordField_; }
  TsLoginCodeTF* codeTF() const { return codeTF_; }
  TsFlatButton* loginButton() const { return loginButton_; }
  QCheckBox* autoLoginButton() const { return autoLoginButton_; }
  TsHyperlinkTextField* findPassButton() const { return findPassButton_; }
  QLabel* welcomeTitleLabel() const { return welcomeTitleLabel_; }
  QLabel* noAccountLabel() const { return noAccountLabel_; }
  TsHyperlinkTextField* registerButton() const { return registerButton_; }
  DRFlatButton* togglePhoneButton() const { return togglePhoneButton_; }
  QWidget* thirdLoginContainerView() const { return thirdLoginContainerView_; }
  QWidget* splitLineView() const { return splitLineView_; }
  QLabel* thirdLoginLabel() const { return thirdLoginLabel_; }
  QAbstractButton* wechatLoginButton() const { return providers_[0]; }
  QAbstractButton* facebookLoginButton() const { return providers_[1]; }
  QAbstractButton* insLoginButton() const { return providers_[2]; }
  QAbstractButton* ggLoginButton() const { return providers_[3]; }
  QAbstractButton* ttLoginButton() const { return providers_[4]; }
  QAbstractButton* qqLoginButton() const { return providers_[5]; }

  // The tab action: a click on the selected tab keeps it on and changes nothing else.
  void toggleLoginType(DRFlatButton* sender);
  // Shows the e-mail field (true) or the phone field, empties both; tabs and the lower field stay.
  void toggleEmailLogin(bool emailLogin);
  void toggleLoginMethod();
  void togglePhoneButtonClicked();

 Q_SIGNALS:
  void isPhoneLoginChanged(bool isPhoneLogin);
  void emailLoginChanged(bool emailLogin);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  bool emailLogin_ = false;
  bool isPhoneLogin_ = true;
  TsDragableImageView* adView_;
  QLabel* logoView_;
  QPushButton* closeButton_;
  QWidget *formView_, *centerView_;
  DRFlatButton *phoneLoginBtn_, *pwdLoginBtn_;
  QWidget* topLineView_;
  TsPhoneTextField* userNameField_;
  TsLoginTextField *emailField_, *passwordField_;
  TsLoginCodeTF* codeTF_;
  TsFlatButton* loginButton_;
  QCheckBox* autoLoginButton_;
  TsHyperlinkTextField *findPassButton_, *registerButton_;
  QLabel *welcomeTitleLabel_, *noAccountLabel_;
  DRFlatButton* togglePhoneButton_;
  QWidget *thirdLoginContainerView_, *splitLineView_;
  QLabel* thirdLoginLabel_;
  std::vector<QAbstractButton*> providers_;
};
