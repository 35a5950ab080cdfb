#pragma once
// The service's outside-account sign-in page (800 by 550) with its "completed" button. Login
// mode: a window-modal sheet on the main window that signs the user in; bind mode: a child of its
// host that links the account and refreshes the profile. Every close clears the web data.
#include <QAbstractButton>
#include <QJsonValue>
#include <QPointer>
#include <QWebEngineView>
#include <QWidget>
#include <memory>
#include <string>

#include "app/Sections/Web/WebChannelPage.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Sections/Login/TsThirdLoginHandler.h"

class TsThirdLoginViewController;

// What the page's script reaches as `thirdLogin`.
class TsThirdLoginBridge : public QObject {
  Q_OBJECT
 public:
  explicit TsThirdLoginBridge(TsThirdLoginViewController* owner);
  Q_INVOKABLE QString getClientInfo();
  Q_INVOKABLE void userLoginSuccess(const QJsonValue& data);
  Q_INVOKABLE void unknownHandler(const QString& name);

 private:
  TsThirdLoginViewController* owner_;
};

class TsThirdLoginViewController : public QWidget {
  Q_OBJECT
 public:
  TsThirdLoginViewController(const gelmora::ui::OutsideAccountRequest& request,
                             TsThirdLoginHandler::Collaborators collaborators,
                             QWidget* parent = nullptr);
  ~TsThirdLoginViewController() override;

  // Opens the page as the request says: embedded at (50,50,700,500) in `host`, or as a sheet on
  // `host`'s window. Answers the page's widget.
  static TsThirdLoginViewController* open(const gelmora::ui::OutsideAccountRequest& request,
                                          QWidget* host,
                                          TsThirdLoginHandler::Collaborators collaborators = {});

  QWebEngineView* webView() const { return webView_; }
  gelmora::app::WebChannelPage* page() const { return page_; }
  QAbstractButton* finishButton() const { return finishButton_; }
  TsThirdLoginHandler& handler() { return *handler_; }
  bool isView() const { return request_.isView; }

  void dismiss();

 private:
  void clearCookies();

  gelmora::ui::OutsideAccountRequest request_;
  QWebEngineView* webView_;
  gelmora::app::WebChannelPage* page_;
  TsThirdLoginBridge* bridge_;
  QAbstractButton* finishButton_;
  std::unique_ptr<TsThirdLoginHandler> handler_;
  bool dismissed_ = false;
};

namespace gelmora::app {
// Makes TsThirdLoginViewController the registry's outside-account page.
void registerOutsideAccountPage(ui::ScreenRegistry& registry);
}  // namespace gelmora::app
