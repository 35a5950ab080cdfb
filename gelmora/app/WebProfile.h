#pragma once
// The one persistent web profile of the application: every page (shop, profile, feedback, outside
// accounts) loads in it, so they share cookies and caches, kept in the user's data folder. The
// web data store the start-up container clears works on it.
#include <QWebEngineProfile>

#include "gelmora/Application/WebDataStore.h"

namespace gelmora::app {

class WebProfile {
 public:
  // Created on first use (after the QApplication), lives until the application ends.
  static QWebEngineProfile* shared();
};

// Cookies, the HTTP cache and visited links of a profile.
class QtWebDataStore : public WebDataStore {
 public:
  // `profile` none: WebProfile::shared(), taken on first use.
  explicit QtWebDataStore(QWebEngineProfile* profile = nullptr) : profile_(profile) {}
  void removeAllWebsiteData(
      std::function<void(const std::string& displayName)> recordRemoved) override;

 private:
  QWebEngineProfile* profile_;
};

}  // namespace gelmora::app
