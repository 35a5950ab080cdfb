#pragma once
// The page bridge of the in-app web pages: `window.external` with "InvokeFromJavascript" (name,
// value; no result) and, in the two-method variant, "InvokeFromJavascriptWithReturn", which
// answers 1 at once and does nothing else. The object is defined at document creation in every
// frame; calls made before the channel is up are queued. A call acts only when the address of
// the frame that made it (read in a script world the page cannot reach) is one of the brand's
// hosts; any other is logged and dropped. Arguments that are not text or longer than 64 KiB are
// logged and dropped.
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <functional>

#include "app/Sections/Web/WebChannelPage.h"

class UrlOpener;

namespace gelmora::app {

class PageBridge;

// What the isolated script reaches over the channel.
class PageBridgeEndpoint : public QObject {
  Q_OBJECT
 public:
  explicit PageBridgeEndpoint(PageBridge* owner);
  Q_INVOKABLE void invoke(const QString& frameUrl, const QJsonValue& name, const QJsonValue& value);

 private:
  PageBridge* owner_;
};

class PageBridge : public WebChannelPage {
  Q_OBJECT
 public:
  enum class Methods { InvokeOnly, WithReturn };
  // A command the page sent, from a brand page, with text arguments.
  using Handler = std::function<void(const QString& name, const QString& value)>;

  static constexpr qsizetype kMaxArgumentBytes = 64 * 1024;

  PageBridge(Methods methods, Handler handler, QObject* parent = nullptr);

  // Frames whose address this answers true for are served as well as the brand's hosts.
  void setAlsoAllowed(std::function<bool(const std::string& url)> also) { also_ = std::move(also); }

  // One call as the isolated script reports it.
  void invoke(const QString& frameUrl, const QJsonValue& name, const QJsonValue& value);

  // "OnOpenLink": opens `value` when it is a valid http or https address; false otherwise.
  static bool openLink(UrlOpener& opener, const QString& value);

 private:
  PageBridge(PageBridgeEndpoint* endpoint, Methods methods, Handler handler, QObject* parent);
  Handler handler_;
  std::function<bool(const std::string& url)> also_;
};

}  // namespace gelmora::app
