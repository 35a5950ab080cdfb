#pragma once
// The phone login screen: the form TsLoginView with the last login restored, bound to a phone
// view model, the sign-in command chosen by the form's tab, the remember-login box, the
// outside-account buttons, and over the form the bind-phone flow and the first-login panel.
// Nothing opens this screen yet.
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/reactive/Disposable.h"
#include "ui/Kit/Ticker.h"
#include "ui/Sections/Login/TsFirstLoginAuthView.h"
#include "ui/Sections/Login/TsLoginView.h"
#include "ui/Sections/Login/TsLoginViewModel.h"
#include "ui/Sections/Login/TsPhoneBindFlow.h"

class AppUserDefaults;
class TsUserController;
class TsCountryCodeProvider;
class UrlOpener;
namespace gelmora::ui {
class ScreenRegistry;
class TsVerifyCodeViewModel;
}  // namespace gelmora::ui

class TsLoginViewController : public QWidget {
  Q_OBJECT
 public:
  struct Collaborators {
    TsUserController* user = nullptr;                      // default: app().user()
    AppUserDefaults* defaults = nullptr;                   // default: app().defaults()
    gelmora::ui::ScreenRegistry* screens = nullptr;        // default: the shared registry
    gelmora::ui::TsVerifyCodeViewModel* verify = nullptr;  // default: app().verify()
    std::optional<std::string> webDomain;                  // default: the brand's WebDomain
    UrlOpener* opener = nullptr;                           // default: the application's
    const TsCountryCodeProvider* countryCodes = nullptr;   // default: the shared list
    std::unique_ptr<gelmora::ui::Ticker> ticker;           // the form's count-down
    std::unique_ptr<gelmora::ui::Ticker> bindTicker;       // the bind panel's count-down
  };

  explicit TsLoginViewController(QWidget* parent = nullptr);
  TsLoginViewController(Collaborators collaborators, QWidget* parent);
  ~TsLoginViewController() override;

  TsLoginView* specView() const { return view_; }
  gelmora::ui::TsLoginViewModel& model() const { return *model_; }
  gelmora::ui::TsLoginViewModel& bindModel() const { return flow_->bindModel(); }
  TsPhoneBindView* bindView() const { return flow_->bindView(); }
  NSPhoneBindSuccessView* bindsuccessView() const { return flow_->bindsuccessView(); }
  TsFirstLoginAuthView* authView() const { return authView_; }
  // The command the sign-in button runs now (by the form's tab).
  const gelmora::ui::TsLoginViewModel::CommandPtr<JVX_USER_INFO>& loginCommand() const {
    return loginCommand_;
  }

  void userNameFieldAction();
  void passwordFieldAction();
  void closeButtonClicked();
  void autoLoginButtonClicked();
  // Signs in with the outside account of the button with `tag` (100..107).
  void thirdLogin(int tag);
  // Opens the first-login panel; only the first call does anything.
  void firstLoginAuth();

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void restoreLastLogin();
  void bindForm();
  void setLoginCommand(gelmora::ui::TsLoginViewModel::CommandPtr<JVX_USER_INFO> command);

  TsUserController* user_;
  AppUserDefaults* defaults_;
  gelmora::ui::ScreenRegistry* screens_;
  gelmora::ui::TsVerifyCodeViewModel* verify_;
  std::string webDomain_;
  UrlOpener* opener_;
  TsLoginView* view_;
  std::shared_ptr<gelmora::ui::TsLoginViewModel> model_;
  TsPhoneBindFlow* flow_;
  TsFirstLoginAuthView* authView_ = nullptr;
  gelmora::ui::TsLoginViewModel::CommandPtr<JVX_USER_INFO> loginCommand_;
  platform::reactive::Disposable loginEnabling_;
};
