#include "ui/Application/QtUrlOpener.h"

#include <QDesktopServices>
#include <QUrl>

#include "gelmora/Core/Log.h"

namespace gelmora::ui {

bool QtUrlOpener::isOpenable(const std::string& url) {
  if (url.empty()) return false;
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid()) return false;
  const QString scheme = parsed.scheme().toLower();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
    return !parsed.host().isEmpty();
  }
  return scheme == QLatin1String("mailto") && !parsed.path().isEmpty();
}

void QtUrlOpener::openURL(const std::string& url) {
  if (!isOpenable(url)) {
    gelmora::logLine("address not opened: not an http, https or mailto address");
    return;
  }
  QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

}  // namespace gelmora::ui
