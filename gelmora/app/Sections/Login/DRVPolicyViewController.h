#pragma once
// The brand's terms of use (600 by 550): the page from the brand's H5 host over a white tool bar
// with refuse and agree. Agree records "agreedPolicy" and dismisses the page; refuse ends the
// application at once with status 0. Whoever presents the page decides what the consent means.
#include <QAbstractButton>
#include <QWebEngineView>
#include <QWidget>
#include <functional>
#include <string>

class AppUserDefaults;
class ProcessControl;

// Collaborators of DRVPolicyViewController; empty members are the application's own.
struct DRVPolicyCollaborators {
  AppUserDefaults* defaults = nullptr;    // app().defaults()
  ProcessControl* process = nullptr;      // the Qt one
  std::function<std::string()> h5Domain;  // app().env()->H5Domain()
};

class DRVPolicyViewController : public QWidget {
  Q_OBJECT
 public:
  using Collaborators = DRVPolicyCollaborators;

  explicit DRVPolicyViewController(Collaborators collaborators = {}, QWidget* parent = nullptr);

  void loadRequestWithStringUrl(const std::string& url);
  void agreePolicy();
  void refusePolicy();

  QWebEngineView* webView() const { return webView_; }
  QWidget* toolBarView() const { return toolBarView_; }
  QAbstractButton* agreeButton() const { return agreeButton_; }
  QAbstractButton* refuseButton() const { return refuseButton_; }

 Q_SIGNALS:
  // Agree closed the page.
  void dismissed();

 private:
  Collaborators c_;
  QWebEngineView* webView_;
  QWidget* toolBarView_;
  QAbstractButton* agreeButton_;
  QAbstractButton* refuseButton_;
};
