#pragma once
// A plain window (720 by 600, centred, titled and closable, not resizable) showing one feedback
// page of the service. No page bridge. Closing hides it; its keeper deletes it.
#include <QRect>
#include <QSize>
#include <QWebEngineView>
#include <QWidget>
#include <string>

#include "ui/Application/ScreenRegistry.h"

namespace gelmora::app {

class TsFeedbackWindow : public QWidget {
  Q_OBJECT
 public:
  // Creates the window and starts loading the page (only http and https addresses load; any
  // other leaves the view empty). Does not show it.
  explicit TsFeedbackWindow(const std::string& feedbackUrl, QWidget* parent = nullptr);

  // 720 by 600, centred on a screen of that size.
  static QRect centerFrame(QSize screen);
  // The same on the primary screen's full area.
  static QRect centerFrame();

  QWebEngineView* webView() const { return webView_; }

 private:
  QWebEngineView* webView_;
};

}  // namespace gelmora::app
