#include "WebProfile.h"

#include <QCoreApplication>
#include <QWebEngineCookieStore>

namespace gelmora::app {

QWebEngineProfile* WebProfile::shared() {
  // Owned by the application object, so it goes before QtWebEngine shuts down.
  static QWebEngineProfile* profile = [] {
    auto* p = new QWebEngineProfile(QStringLiteral("gelmora"), QCoreApplication::instance());
    p->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    p->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    return p;
  }();
  return profile;
}

void QtWebDataStore::removeAllWebsiteData(
    std::function<void(const std::string& displayName)> recordRemoved) {
  QWebEngineProfile* p = profile_ ? profile_ : WebProfile::shared();
  p->cookieStore()->deleteAllCookies();
  p->clearHttpCache();
  p->clearAllVisitedLinks();
  if (recordRemoved) {
    for (const char* record : {"cookies", "cache", "visited links"}) recordRemoved(record);
  }
}

}  // namespace gelmora::app
