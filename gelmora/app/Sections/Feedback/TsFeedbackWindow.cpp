#include "app/Sections/Feedback/TsFeedbackWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "app/WebProfile.h"
#include "gelmora/Core/Log.h"

namespace gelmora::app {

namespace {
constexpr int kWidth = 720;
constexpr int kHeight = 600;
}  // namespace

QRect TsFeedbackWindow::centerFrame(QSize screen) {
  return QRect(screen.width() / 2 - kWidth / 2, screen.height() / 2 - kHeight / 2, kWidth, kHeight);
}

QRect TsFeedbackWindow::centerFrame() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return centerFrame(screen ? screen->geometry().size() : QSize(kWidth, kHeight));
}

TsFeedbackWindow::TsFeedbackWindow(const std::string& feedbackUrl, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setGeometry(centerFrame());
  setFixedSize(kWidth, kHeight);
  webView_ = new QWebEngineView(this);
  webView_->setPage(new QWebEnginePage(WebProfile::shared(), webView_));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(webView_);
  const QUrl url(QString::fromStdString(feedbackUrl), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (url.isValid() && !url.host().isEmpty() && (scheme == "http" || scheme == "https")) {
    webView_->load(url);
  } else {
    gelmora::logLine("feedback window: the page address is no http or https address");
  }
}

}  // namespace gelmora::app
