#include "app/Sections/Web/PageBridge.h"

#include <QUrl>

#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Shared/BrandHosts.h"

namespace gelmora::app {

namespace {

constexpr const char* kEventName = "gelmora-external-call";

// Runs in the isolated world of every frame: takes the page's calls from a document event and
// passes them on with the frame's own address, queued until the channel is up.
// Runs in the isolated world of every frame: takes the page's calls from a document event and
// passes them on with the frame's own address, queued until the channel is up. Only the top frame
// has the channel: a sub-frame hands its calls to the top frame as a message, whose origin the
// engine sets (a message the page makes up itself is not trusted and is ignored).
const char* const kIsolatedShim = R"JS(
(function () {
  var queue = [];
  var native = null;
  var hasChannel = typeof qt !== 'undefined' && qt && qt.webChannelTransport;
  var send = function (call) { native.invoke(call[0], call[1], call[2]); };
  var take = function (address, args) {
    var call = [String(address), args[0], args[1]];
    if (native) send(call); else queue.push(call);
  };
  document.addEventListener('gelmora-external-call', function (event) {
    var args;
    try { args = JSON.parse(String(event.detail)); } catch (e) { return; }
    if (!Array.isArray(args) || args.length !== 2) return;
    if (hasChannel) {
      take(window.location.href, args);
    } else {
      try { window.top.postMessage({ gelmoraExternal: args }, '*'); } catch (e) {}
    }
  });
  if (!hasChannel) return;
  window.addEventListener('message', function (event) {
    if (!event.isTrusted || event.source === window) return;
    var data = event.data;
    if (!data || typeof data !== 'object' || !Array.isArray(data.gelmoraExternal) ||
        data.gelmoraExternal.length !== 2 || typeof event.origin !== 'string') return;
    take(event.origin + '/', data.gelmoraExternal);
  });
  new QWebChannel(qt.webChannelTransport, function (channel) {
    native = channel.objects.external;
    var waiting = queue;
    queue = [];
    waiting.forEach(send);
  });
})();
)JS";

// Runs in the page's world of every frame: the object the page calls.
QString pageShim(PageBridge::Methods methods) {
  QString script = QStringLiteral(R"JS(
(function () {
  var call = function (name, value) {
    var detail;
    try {
      detail = JSON.stringify([name === undefined ? null : name,
                               value === undefined ? null : value]);
    } catch (e) { return; }
    if (typeof detail !== 'string') return;
    document.dispatchEvent(new CustomEvent('%1', { detail: detail }));
  };
  var external = { InvokeFromJavascript: function (name, value) { call(name, value); } };
  if (%2) external.InvokeFromJavascriptWithReturn = function () { return 1; };
  try {
    Object.defineProperty(window, 'external', { value: external, configurable: true });
  } catch (e) {
    window.external = external;
  }
})();
)JS");
  return script.arg(QLatin1String(kEventName), methods == PageBridge::Methods::WithReturn
                                                   ? QStringLiteral("true")
                                                   : QStringLiteral("false"));
}

bool usableArgument(const QJsonValue& v) {
  return v.isString() && v.toString().toUtf8().size() <= PageBridge::kMaxArgumentBytes;
}

}  // namespace

PageBridgeEndpoint::PageBridgeEndpoint(PageBridge* owner) : owner_(owner) {}

void PageBridgeEndpoint::invoke(const QString& frameUrl, const QJsonValue& name,
                                const QJsonValue& value) {
  owner_->invoke(frameUrl, name, value);
}

PageBridge::PageBridge(Methods methods, Handler handler, QObject* parent)
    : PageBridge(new PageBridgeEndpoint(this), methods, std::move(handler), parent) {}

PageBridge::PageBridge(PageBridgeEndpoint* endpoint, Methods methods, Handler handler,
                       QObject* parent)
    : WebChannelPage(endpoint, "external", QString::fromUtf8(kIsolatedShim), pageShim(methods),
                     parent),
      handler_(std::move(handler)) {
  endpoint->setParent(this);
}

void PageBridge::invoke(const QString& frameUrl, const QJsonValue& name, const QJsonValue& value) {
  if (!usableArgument(name) || !usableArgument(value)) {
    gelmora::logLine("page bridge: a call whose arguments are not text or too long was ignored");
    return;
  }
  const std::string frame = frameUrl.toStdString();
  if (frameUrl.size() > kMaxArgumentBytes ||
      !(BrandHosts::allows(frame) || (also_ && also_(frame)))) {
    gelmora::logLine("warning: page bridge call refused for a frame outside the brand's hosts");
    return;
  }
  gelmora::logLine("InvokeFromJavascript operationName:" + name.toString().left(64).toStdString());
  if (handler_) handler_(name.toString(), value.toString());
}

bool PageBridge::openLink(UrlOpener& opener, const QString& value) {
  const QUrl url(value, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
    gelmora::logLine("page bridge: a link that is no http or https address was not opened");
    return false;
  }
  opener.openURL(url.toString(QUrl::FullyEncoded).toStdString());
  return true;
}

}  // namespace gelmora::app
