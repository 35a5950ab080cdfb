#pragma once
// The account page, third item of the main menu while signed in: the user's id, name, package
// and expiry, the picture-news carousel, the pay button, launch at login and seven commands (edit
// profile, sign out, about, copy the share link, orders, questions, member centre). The member
// centre and the profile editor are made once, on first use, and kept. Collaborators come at
// construction; each one left empty is the application's.
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Sections/Me/MeSupport.h"
#include "ui/Sections/Me/TsUserCenterWC.h"
#include "ui/Sections/Me/TsUserProfileView.h"

class AppUserDefaults;
class Clipboard;
class TsUserController;
class UrlOpener;

namespace gelmora::ui {
class ImageLoader;
}

struct TsUserProfileDependencies {
  TsUserController* user = nullptr;                // app().user()
  AppUserDefaults* defaults = nullptr;             // app().defaults()
  std::function<long long()> vpnStatus;            // app().vpn().status()
  std::function<void()> memberPage;                // app().analytics().memberPage()
  gelmora::ui::MeAlerts alerts;                    // qtMeAlerts()
  Clipboard* clipboard = nullptr;                  // gelmora::ui::clipboard()
  UrlOpener* urlOpener = nullptr;                  // gelmora::ui::urlOpener()
  gelmora::ui::ScreenRegistry* screens = nullptr;  // ScreenRegistry::shared()
  std::function<bool(bool on)> enableLoginItem;    // TsLaunchAtLoginService::enableLoginItem
  gelmora::ui::ImageLoader* images = nullptr;      // ImageLoader::shared()
  std::function<std::optional<std::string>()> version;  // app().version()
  // The member centre's collaborators (user and alerts default to this page's).
  TsUserCenterDependencies memberCentre;
  // Makes the profile editor window; empty: a TsEditProfileWC on this page's user.
  std::function<QWidget*()> makeEditor;
};

class TsUserProfileViewController : public QWidget {
  Q_OBJECT
 public:
  using Dependencies = TsUserProfileDependencies;
  explicit TsUserProfileViewController(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsUserProfileViewController() override;

  TsUserProfileView* specView() const { return view_; }
  const std::vector<JVX_PICTURE_NEWS>& items() const { return items_; }

  void reloadData();
  // The command of a button by its tag (100-106); any other tag does nothing.
  void btnClick(int tag);
  void toggleBootButton();
  void payButtonClicked();
  void logoutButtonClicked();
  void editProfile();
  void goVipCenter();
  void setClipboard(const std::string& text);
  void showWebWindowWithTitle(const QString& titleKey, const std::string& url);
  // A click on a carousel item.
  void didSelectItemAtIndex(int index);

  // Kept windows and the open web window (none until first made).
  TsUserCenterWC* vipWC() const { return vipWC_; }
  QWidget* editWC() const { return editWC_; }
  gelmora::ui::WebWindowHandle* webWindow() const { return webWindow_.get(); }
  // The about panel shown last (none once closed).
  QWidget* aboutView() const { return aboutView_; }
  // Profile observers added so far (one for the page's life).
  int profileObservers() const { return profileObservers_; }
  // How often the page was filled.
  int reloads() const { return reloads_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  TsUserController& user() const;
  AppUserDefaults& defaults() const;
  gelmora::ui::ScreenRegistry& screens() const;
  bool purchaseMode() const;
  QWidget* makeItemView(int index, QWidget* reusing);

  Dependencies deps_;
  TsUserProfileView* view_;
  std::vector<JVX_PICTURE_NEWS> items_;
  QPointer<TsUserCenterWC> vipWC_;
  QPointer<QWidget> editWC_;
  QPointer<QWidget> aboutView_;
  std::unique_ptr<gelmora::ui::WebWindowHandle> webWindow_;
  int profileObservers_ = 0;
  int reloads_ = 0;
};

namespace gelmora::ui {
// Adds the account page and the settings panel to the registry.
void registerProfileScreens(ScreenRegistry& registry);
}  // namespace gelmora::ui
