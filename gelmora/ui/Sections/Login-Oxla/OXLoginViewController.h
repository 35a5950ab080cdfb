#pragma once
// The screen a signed-out user sees in the main window: the login view bound to the e-mail view
// model, the outside-account buttons opening the outside-account page, the last user name filled
// in, the answers to a finished sign-up (sign in at once) and reset (notice, back to sign-in), and
// the bind-phone flow over the view when a sign-in demands a bound phone.
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "gelmora/Application/AlertSheetPresenter.h"
#include "ui/Sections/Login-Oxla/OXLoginView.h"
#include "ui/Sections/Login-Oxla/OXLoginViewModel.h"
#include "ui/Sections/Login/TsPhoneBindFlow.h"

class AppUserDefaults;

namespace gelmora::ui {
class ScreenRegistry;
// Makes OXLoginViewController the registry's login screen.
void registerLoginScreen(ScreenRegistry& registry);
}  // namespace gelmora::ui

class OXLoginViewController : public QWidget {
  Q_OBJECT
 public:
  struct Collaborators {
    TsUserController* user = nullptr;                // default: app().user()
    TsAnalyticsService* analytics = nullptr;         // default: app().analytics()
    AppUserDefaults* defaults = nullptr;             // default: app().defaults()
    AlertSheetPresenter* presenter = nullptr;        // default: a Qt presenter on this window
    gelmora::ui::ScreenRegistry* screens = nullptr;  // default: the shared registry
    std::function<std::string()> webDomain;          // default: the environment's WebDomain
    std::unique_ptr<gelmora::ui::Ticker> ticker;     // default: a Qt ticker
    // The bind-phone flow's count-down and dial-code list; defaults: a Qt ticker, the shared list.
    std::unique_ptr<gelmora::ui::Ticker> bindTicker;
    const TsCountryCodeProvider* countryCodes = nullptr;
  };

  explicit OXLoginViewController(QWidget* parent = nullptr);
  OXLoginViewController(Collaborators collaborators, QWidget* parent);
  ~OXLoginViewController() override;

  OXLoginView* specView() const { return view_; }
  gelmora::ui::OXLoginViewModel& viewModel() const { return *viewModel_; }
  TsPhoneBindFlow* phoneBindFlow() const { return phoneBind_; }

  // Signs in with the outside account of the button with `tag` (100..107).
  void thirdLogin(int tag);

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void bindModel();
  void onRegistered();
  void onPasswordReset();

  TsUserController* user_;
  TsAnalyticsService* analytics_;
  AlertSheetPresenter* presenter_;
  std::unique_ptr<AlertSheetPresenter> ownPresenter_;
  gelmora::ui::ScreenRegistry* screens_;
  std::function<std::string()> webDomain_;
  OXLoginView* view_;
  std::shared_ptr<gelmora::ui::OXLoginViewModel> viewModel_;
  TsPhoneBindFlow* phoneBind_ = nullptr;
  // The command bound to the sign-in button, run again after a sign-up.
  gelmora::ui::OXLoginViewModel::CommandPtr<JVX_USER_INFO> loginCommand_;
  bool appeared_ = false;
};
