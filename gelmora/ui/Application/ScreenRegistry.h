#pragma once
// The one registry of the application's screens and windows. Each screen's module registers its
// factory in registerScreens(), which fills the shared registry on its first use; whoever opens a
// screen asks the registry.
// A factory that nobody registered means the screen is not built: asking for it logs a line and
// answers nothing, so nothing opens.
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "gelmora/Core/Log.h"
#include "ui/Legacy/LegacyContext.h"

namespace gelmora::ui {

// An in-app web window (title, size, one page). Closing stops its page and closes the window.
class WebWindowHandle {
 public:
  virtual ~WebWindowHandle() = default;
  // Stops loading, detaches the page and closes the window.
  virtual void close() = 0;
  // The top-level window (none once closed).
  virtual QWidget* window() const = 0;
};

struct WebWindowRequest {
  QString title;  // already localised
  int width = 680;
  int height = 500;
  std::string url;
  // Whether closing the window refreshes the signed-in user's profile.
  bool needRefreshUser = false;
};

// The page that signs a user in with an outside account, or links one to the signed-in account.
struct OutsideAccountRequest {
  std::string url;
  bool isBind = false;  // link to the signed-in account instead of signing in
  bool isView = false;  // embedded in `parent` instead of a sheet on its window
};

// One screen's factory, with the screen's name for the log.
template <class Result, class... Args>
class ScreenSlot {
 public:
  using Factory = std::function<Result(Args...)>;
  explicit ScreenSlot(const char* name) : name_(name) {}

  void set(Factory factory) { factory_ = std::move(factory); }
  bool registered() const { return static_cast<bool>(factory_); }
  const char* name() const { return name_; }

  // The new screen, or an empty result (logged) when the screen is not registered.
  Result make(Args... args) const {
    if (!factory_) {
      gelmora::logLine(std::string("screen not built: ") + name_);
      return Result{};
    }
    return factory_(std::forward<Args>(args)...);
  }

 private:
  const char* name_;
  Factory factory_;
};

class ScreenRegistry {
 public:
  // The registry of the running application, filled by registerScreens().
  static ScreenRegistry& shared();

  // Screens shown inside the main window; the widget is made a child of `parent`.
  using Screen = ScreenSlot<QWidget*, QWidget*>;
  Screen login{"login"};
  Screen acceleration{"acceleration"};
  Screen shop{"shop"};
  Screen profile{"profile"};
  // The settings panel of the acceleration screen, a child of `parent`.
  Screen settingsPanel{"settings panel"};
  // The in-app web window; the caller owns the handle.
  ScreenSlot<std::unique_ptr<WebWindowHandle>, const WebWindowRequest&> webWindow{"web window"};
  // The feedback window for a feedback page address; a top-level window the caller owns.
  ScreenSlot<QWidget*, const std::string&> feedbackWindow{"feedback window"};
  // The shop as a sheet on `parent`'s window; the sheet deletes itself when closed.
  Screen shopSheet{"shop sheet"};
  // The outside-account page, as a sheet on `parent`'s window or embedded in `parent`.
  ScreenSlot<QWidget*, const OutsideAccountRequest&, QWidget*> outsideAccountPage{
      "outside-account page"};

  // The older window generation: top-level windows that open one another (the welcome window
  // begins the chain; no current screen opens them). The opener owns the window.
  using OlderWindow = ScreenSlot<QWidget*, const LegacyContext&>;
  OlderWindow olderWelcome{"older welcome window"};
  OlderWindow olderLogin{"older login window"};
  OlderWindow olderMain{"older main window"};
  OlderWindow olderFlowDetailA{"older traffic detail A"};
  OlderWindow olderFlowDetailB{"older traffic detail B"};
  // The self-update window, which starts downloading at once (it deletes itself once closed).
  OlderWindow olderUpdate{"older update window"};
  // The older web windows by class name ("FeedBackB", "Feedback", "Recharge", "MyOrder",
  // "Question", "Share"); each reads its page address from the older key-value store.
  ScreenSlot<QWidget*, const std::string&> olderWebWindow{"older web window"};
};

// Registers every screen this build has with `registry`. Each screen module adds its line.
void registerScreens(ScreenRegistry& registry);

}  // namespace gelmora::ui
