#pragma once
// The shop screen: the native product list fed by the purchase model, covered (once shown) by
// the brand's top-up page with its page bridge ("OnOpenLink", "OnPaySuccess", "CloseWindow").
// It is the menu's shop item and, 400 by 400, the content of the shop sheet.
#include <QPointer>
#include <QWebEngineView>
#include <functional>
#include <memory>
#include <string>

#include "app/Sections/Web/PageBridge.h"
#include "platform/reactive/Disposable.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Sections/Shop/TsIAPShopView.h"

class AppUserDefaults;
class DRFlatButton;
class TsIAPShopViewModel;
class TsUserController;
class UrlOpener;

// Collaborators of TsIAPShopViewController; empty members are the application's own.
struct TsIAPShopCollaborators {
  TsUserController* user = nullptr;                       // app().user()
  AppUserDefaults* defaults = nullptr;                    // app().defaults()
  UrlOpener* urlOpener = nullptr;                         // ui::urlOpener()
  std::function<std::string()> topupURL;                  // app().env()->TopupURL()
  std::function<void()> topupAnalytics;                   // app().analytics().topupPage()
  std::function<void()> refreshUser;                      // user.refreshUserProfile()
  std::function<void()> activeMainWindow;                 // the main window brought to the front
  std::function<void(const std::string&)> showWebWindow;  // the root's web window, no title
};

class TsIAPShopViewController : public TsIAPShopView, public TsIAPShopViewDelegate {
  Q_OBJECT
 public:
  using Collaborators = TsIAPShopCollaborators;

  explicit TsIAPShopViewController(Collaborators collaborators = {}, QWidget* parent = nullptr);
  ~TsIAPShopViewController() override;

  // Loads the top-up page.
  void goHome();
  // Fetches the products again, then rebuilds the list.
  void finishButtonClicked();
  void didTouchedBuyButtonAtIndex(int64_t index, TsIAPShopView* shopView) override;
  void showPayFeedBakc();
  void activeMainWindow();
  // Closes the sheet this screen is the content of; nothing inside the menu.
  void dismiss();

  TsIAPShopViewModel& model() const { return *model_; }
  QWebEngineView* web() const { return web_; }
  gelmora::app::PageBridge* page() const { return page_; }
  DRFlatButton* homeBtn() const { return homeBtn_; }

  // The shop as a window-modal sheet (400 by 400) on `host`'s window; deletes itself on close.
  static QWidget* presentAsSheet(QWidget* host, Collaborators collaborators = {});

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void onPageCommand(const QString& name, const QString& value);
  void refreshUser();

  Collaborators c_;
  std::shared_ptr<TsIAPShopViewModel> model_;
  QWebEngineView* web_ = nullptr;
  gelmora::app::PageBridge* page_ = nullptr;
  DRFlatButton* homeBtn_ = nullptr;
  platform::reactive::CompositeDisposable subscriptions_;
  bool appeared_ = false;
};

namespace gelmora::app {
// Makes the shop, the shop sheet, the web window and the feedback window the registry's.
void registerWebScreens(ui::ScreenRegistry& registry);
}  // namespace gelmora::app
