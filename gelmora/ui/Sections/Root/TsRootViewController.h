#pragma once
// The root of the main window's content. It shows one screen at a time: the login screen while
// the user is not usable (status below 3), else the menu with its screens, and swaps them with a
// short fade on every change of the user's state (the menu is rebuilt each time). It opens the
// service's login and logout feedback pages once each, and sends the start-up and sign-up
// analytics.
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "gelmora/Application/RootViewController.h"
#include "ui/Application/ScreenRegistry.h"

class AppUserDefaults;
class TsMenuViewController;

// Collaborators of the root; none means the application's.
struct TsRootDependencies {
  std::function<int64_t()> userStatus;             // app().user().status()
  AppUserDefaults* defaults = nullptr;             // app().defaults()
  std::function<void()> startupAnalytics;          // app().analytics().startup()
  std::function<void()> registerAnalytics;         // app().analytics().registerEvent()
  gelmora::ui::ScreenRegistry* screens = nullptr;  // ScreenRegistry::shared()
};

class TsRootViewController : public QWidget, public RootViewController {
  Q_OBJECT
 public:
  using Dependencies = TsRootDependencies;

  explicit TsRootViewController(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsRootViewController() override;

  // A root for the start-up container. The shared pointer and the widget tree share the root:
  // whichever goes first, the other never deletes it again.
  static std::shared_ptr<TsRootViewController> create(Dependencies dependencies = {});

  // A new menu with one item per registered screen (acceleration, shop, profile, in this order).
  TsMenuViewController* menuViewController();
  // Puts the screen that fits the user's status in place.
  void toogleContenViewController();
  // The swap, then the logout feedback check 0.3 s later.
  void toggleContent();
  void showFeedBack();
  // Opens a page in the web window (680 by 500), closing the one open before.
  void showWebWindowWithTitle(const QString& titleKey, const std::string& urlString);

  QWidget* currentViewController() const { return current_; }
  bool showsLogin() const { return currentIsLogin_; }
  gelmora::ui::WebWindowHandle* webWindow() const { return webWindow_.get(); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void showLoginFeedback();
  int64_t status() const;
  AppUserDefaults& defaults() const;

  Dependencies deps_;
  gelmora::ui::ScreenRegistry& screens_;
  QPointer<QWidget> current_;
  bool currentIsLogin_ = false;
  std::unique_ptr<gelmora::ui::WebWindowHandle> webWindow_;
};
