#pragma once
// The in-app web window for the brand's pages (top-up, orders, questions, feedback): a title bar
// with the logo or a back control and the title, and the page under it. The display language is
// added to every address, top-up pages get a 1100 by 700 window, the page may open links in the
// browser through the page bridge, and closing a top-up window (or one so marked) refreshes the
// signed-in user.
#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QWebEngineView>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/Sections/Web/PageBridge.h"
#include "ui/Application/ScreenRegistry.h"

class UrlOpener;
class Clipboard;

namespace gelmora::app {

// Collaborators of WebWindow; empty members are the application's own.
struct WebWindowCollaborators {
  std::function<void()> refreshUser;      // app().user().refreshUserProfile()
  UrlOpener* urlOpener = nullptr;         // ui::urlOpener()
  Clipboard* clipboard = nullptr;         // ui::clipboard()
  std::function<std::string()> language;  // app().language()
};

class WebWindow : public QWidget {
  Q_OBJECT
 public:
  using Collaborators = WebWindowCollaborators;

  explicit WebWindow(Collaborators collaborators = {}, QWidget* parent = nullptr);
  ~WebWindow() override;

  // Sets the window up for one page on the next turn of the main queue, then shows it: size
  // (1100 by 700 for a top-up title), centred; title; the address with its lang pair.
  void initWithTitle(const QString& title, int width, int height, const std::string& requestUrl);

  bool needRefreshUser() const { return needRefreshUser_; }
  void setNeedRefreshUser(bool on) { needRefreshUser_ = on; }
  bool isRecharge() const { return isRecharge_; }
  bool isClickGoBack() const { return isClickGoBack_; }

  void onBackClick();
  // Runs the page's copyCurrentUrl() and ignores its result.
  void onShareClick();
  void setClipboard(const std::string& text);
  void refreshUser();
  // Stops the page, detaches it and hides the window (no profile refresh).
  void closeByOwner();

  QWebEngineView* webView() const { return webView_; }
  PageBridge* page() const { return page_; }
  QLabel* titleLabel() const { return title_; }
  QLabel* logo() const { return logo_; }
  QAbstractButton* backButton() const { return back_; }
  QAbstractButton* shareButton() const { return share_; }

  // The colour of the title bar.
  static QColor barColor();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void setUp(const QString& title, int width, int height, const std::string& requestUrl);
  void onCommit();
  void onPageCommand(const QString& name, const QString& value);
  std::string language() const;

  Collaborators c_;
  QWebEngineView* webView_ = nullptr;
  PageBridge* page_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* logo_ = nullptr;
  QAbstractButton* back_ = nullptr;
  QAbstractButton* share_ = nullptr;
  bool needRefreshUser_ = false;
  bool isRecharge_ = false;
  bool isClickGoBack_ = false;
  bool closedByOwner_ = false;
  bool reloadPending_ = false;
  // The address of the entry a click on back goes to, until the reload after it.
  QUrl backTarget_;
};

// The registry's web window: a new WebWindow set up for the request.
class WebWindowController : public ui::WebWindowHandle {
 public:
  explicit WebWindowController(const ui::WebWindowRequest& request,
                               WebWindow::Collaborators collaborators = {});
  ~WebWindowController() override;
  void close() override;
  QWidget* window() const override { return window_.data(); }
  WebWindow* webWindow() const { return window_.data(); }

 private:
  QPointer<WebWindow> window_;
};

}  // namespace gelmora::app
