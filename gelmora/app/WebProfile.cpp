#include "WebProfile.h"

#include <QCoreApplication>
#include <QWebEngineCookieStore>

namespace gelmora::app {

QWebEngineProfile* WebProfile::shared() {
  // Owned by the application object, so it goes before QtWebEngine shuts down.
  static QWebEngineProfile* profile = [] {
    auto* p = new QWebEngineProfile(QStringLiteral("gelmora"), QCoreApplication::instance());
    p->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    // Pages are cached for this run only. Clearing the engine's cache while it runs stalls the
    // next page load for many seconds, and web data is cleared at every start and sign-out.
    p->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    return p;
  }();
  return profile;
}

void QtWebDataStore::removeAllWebsiteData(
    std::function<void(const std::string& displayName)> recordRemoved) {
  QWebEngineProfile* p = profile_ ? profile_ : WebProfile::shared();
  // The HTTP cache lives in memory for one run (see shared()); it is left alone here.
  p->cookieStore()->deleteAllCookies();
  p->clearAllVisitedLinks();
  if (recordRemoved) {
    for (const char* record : {"cookies", "visited links"}) recordRemoved(record);
  }
}

}  // namespace gelmora::app
