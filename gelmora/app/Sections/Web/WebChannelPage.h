#pragma once
// A page on the application's web profile with one bridge object on a web channel and a script
// injected into the main frame at document creation (the channel's client plus a shim that
// defines what the pages call). The bridge acts only while the frame shows a brand host.
#include <QObject>
#include <QString>
#include <QWebChannel>
#include <QWebEnginePage>

namespace gelmora::app {

class WebChannelPage : public QWebEnginePage {
  Q_OBJECT
 public:
  // `bridge` is published to the page as `objectName`; `shim` runs after the channel's client.
  WebChannelPage(QObject* bridge, const QString& objectName, const QString& shim,
                 QObject* parent = nullptr);
  // The channel in a script world of its own, out of the pages' reach (the engine gives it to the
  // top frame only): `isolatedShim` runs there after the channel's client, `pageShim` in the
  // pages' own world, both in every frame at document creation, before any script of the page.
  WebChannelPage(QObject* bridge, const QString& objectName, const QString& isolatedShim,
                 const QString& pageShim, QObject* parent = nullptr);

  // Whether the frame's address is one of the brand's hosts (logs a warning when not).
  bool callAllowed() const;

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

 private:
  QWebChannel channel_;
};

}  // namespace gelmora::app
