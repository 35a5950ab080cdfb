#pragma once
// The older web windows: one page each, read from the older key-value store under the window's
// key when it opens, and the page bridge (`window.external`) whose commands act on the older main
// window (LegacyPageCommands). FeedBackB and Share offer both script methods, the others only
// "InvokeFromJavascript". The bridge serves the brand's hosts and the hosts the older service
// named ("domain_list", "pay_list") or the fallback hosts.
#include <QLabel>
#include <QWebEngineView>
#include <QWidget>
#include <memory>
#include <string>

#include "app/Sections/Web/PageBridge.h"
#include "gelmora/Legacy/LegacyPageCommands.h"

namespace gelmora::ui {
class ScreenRegistry;
}

namespace gelmora::app {

class OlderWebWindow : public QWidget {
  Q_OBJECT
 public:
  ~OlderWebWindow() override;

  LegacyWebVariant variant() const { return variant_; }
  QWebEngineView* webView() const { return webView_; }
  PageBridge* page() const { return page_; }
  QLabel* titleLabel() const { return title_; }
  // The address loaded at opening.
  QString address() const { return address_; }

  // One page command, as the bridge hands it over (main thread).
  void pageCommand(const QString& name, const QString& value);
  // The back control: one page back (nothing without history).
  void OnBackClick();

  // Whether the frame's host is one the older service named, or a fallback host.
  static bool olderHostAllowed(const std::string& url);
  // The window of that class name, or none.
  static OlderWebWindow* make(const std::string& className);

 protected:
  OlderWebWindow(LegacyWebVariant variant, QWidget* parent = nullptr);
  void closeEvent(QCloseEvent* event) override;

 private:
  LegacyWebVariant variant_;
  QWebEngineView* webView_ = nullptr;
  PageBridge* page_ = nullptr;
  QLabel* title_ = nullptr;
  QString address_;
  // Set while a page command closes the window (Recharge already told the main window).
  bool closingByCommand_ = false;
};

#define GELMORA_OLDER_WEB_WINDOW(Name)                                                           \
  class Name : public OlderWebWindow {                                                           \
   public:                                                                                       \
    explicit Name(QWidget* parent = nullptr) : OlderWebWindow(LegacyWebVariant::Name, parent) {} \
  };
GELMORA_OLDER_WEB_WINDOW(FeedBackB)
GELMORA_OLDER_WEB_WINDOW(Feedback)
GELMORA_OLDER_WEB_WINDOW(Recharge)
GELMORA_OLDER_WEB_WINDOW(MyOrder)
GELMORA_OLDER_WEB_WINDOW(Question)
GELMORA_OLDER_WEB_WINDOW(Share)
#undef GELMORA_OLDER_WEB_WINDOW

// Registers the six windows with the registry and makes the older HTTP layer's feedback hook open
// FeedBackB in its one process-wide slot (replacing the one kept before).
void registerOlderWebWindows(ui::ScreenRegistry& registry);
void installFeedbackHook();
// The FeedBackB kept by the hook (tests).
OlderWebWindow* keptFeedBackB();

}  // namespace gelmora::app
