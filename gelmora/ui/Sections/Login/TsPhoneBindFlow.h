#pragma once
// The bind-phone flow over a host view, one piece for every screen that hosts it: the binding
// panel (600×500, centred, created hidden on first use) bound to its own phone view model with
// the code type "BIND_NEW_PHONE", shown on TsUserPhoneBindNotification; on
// TsUserBindPhoneSuccessNotification the panel gives way to the notice (400×500, centred) naming
// the bound phone. Skipping the panel, or confirming or skipping the notice, hides it and runs
// the finish action (the sign-in screens: the user goes online and the feedback list is fetched).
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "ui/Kit/Ticker.h"
#include "ui/Sections/Login/NSPhoneBindSuccessView.h"
#include "ui/Sections/Login/TsLoginViewModel.h"
#include "ui/Sections/Login/TsPhoneBindView.h"

class TsUserController;
class AppUserDefaults;
class TsCountryCodeProvider;

class TsPhoneBindFlow : public QObject {
  Q_OBJECT
 public:
  struct Collaborators {
    TsUserController* user = nullptr;                 // default: app().user()
    AppUserDefaults* defaults = nullptr;              // default: app().defaults()
    std::unique_ptr<gelmora::ui::Ticker> ticker;      // default: a Qt ticker
    const TsCountryCodeProvider* provider = nullptr;  // default: the shared dial-code list
    std::function<void()> updateLinkedSNSInfo;        // after a bind; unset: skipped
    // After the panel was skipped or the notice confirmed or skipped; unset: the user goes
    // online (posting the state change) and the feedback list is fetched.
    std::function<void()> finish;
  };

  // The flow lives as long as `host`, its parent.
  TsPhoneBindFlow(QWidget* host, Collaborators collaborators);
  ~TsPhoneBindFlow() override;

  gelmora::ui::TsLoginViewModel& bindModel() const { return *bindModel_; }
  // Created, bound and hidden on first use.
  TsPhoneBindView* bindView();
  NSPhoneBindSuccessView* bindsuccessView();

  void showBindPanel();
  void showBoundNotice();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void complete(QWidget* panel);
  void centre(QWidget* panel, int width, int height);

  QWidget* host_;
  TsUserController* user_;
  const TsCountryCodeProvider* provider_;
  std::function<void()> finish_;
  std::shared_ptr<gelmora::ui::TsLoginViewModel> bindModel_;
  QPointer<TsPhoneBindView> bindView_;
  QPointer<NSPhoneBindSuccessView> bindsuccessView_;
};
