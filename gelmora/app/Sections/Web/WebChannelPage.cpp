#include "app/Sections/Web/WebChannelPage.h"

#include <QFile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include "app/WebProfile.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Shared/BrandHosts.h"

namespace gelmora::app {

namespace {
QString channelClient() {
  // The channel's client script ships inside the web channel library.
  QFile file(":/qtwebchannel/qwebchannel.js");
  if (!file.open(QIODevice::ReadOnly)) {
    gelmora::logLine("web channel client script missing");
    return QString();
  }
  return QString::fromUtf8(file.readAll());
}
}  // namespace

WebChannelPage::WebChannelPage(QObject* bridge, const QString& objectName, const QString& shim,
                               QObject* parent)
    : QWebEnginePage(WebProfile::shared(), parent) {
  channel_.registerObject(objectName, bridge);
  setWebChannel(&channel_);
  QWebEngineScript script;
  script.setName("gelmora-bridge");
  script.setSourceCode(channelClient() + "\n" + shim);
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  scripts().insert(script);
}

WebChannelPage::WebChannelPage(QObject* bridge, const QString& objectName,
                               const QString& isolatedShim, const QString& pageShim,
                               QObject* parent)
    : QWebEnginePage(WebProfile::shared(), parent) {
  channel_.registerObject(objectName, bridge);
  setWebChannel(&channel_, QWebEngineScript::ApplicationWorld);
  QWebEngineScript isolated;
  isolated.setName("gelmora-bridge-isolated");
  isolated.setSourceCode(channelClient() + "\n" + isolatedShim);
  isolated.setInjectionPoint(QWebEngineScript::DocumentCreation);
  isolated.setWorldId(QWebEngineScript::ApplicationWorld);
  isolated.setRunsOnSubFrames(true);
  scripts().insert(isolated);
  QWebEngineScript page;
  page.setName("gelmora-bridge-page");
  page.setSourceCode(pageShim);
  page.setInjectionPoint(QWebEngineScript::DocumentCreation);
  page.setWorldId(QWebEngineScript::MainWorld);
  page.setRunsOnSubFrames(true);
  scripts().insert(page);
}

bool WebChannelPage::callAllowed() const {
  const std::string address = url().toString().toStdString();
  if (BrandHosts::allows(address)) return true;
  gelmora::logLine("warning: page bridge call refused for a page outside the brand's hosts");
  return false;
}

bool WebChannelPage::acceptNavigationRequest(const QUrl& url, NavigationType type,
                                             bool isMainFrame) {
  // The address some bridge pages load to announce themselves is not a page.
  if (url.scheme() == "wvjbscheme" || url.host() == "__bridge_loaded__") return false;
  return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}

}  // namespace gelmora::app
