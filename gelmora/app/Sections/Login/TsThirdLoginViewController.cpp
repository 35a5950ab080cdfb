#include "app/Sections/Login/TsThirdLoginViewController.h"

#include <QDialog>
#include <QJsonDocument>
#include <QPushButton>

#include "app/WebProfile.h"
#include "gelmora/Core/Log.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 550;

// Shown until the service's page has loaded, or alone when there is no page address.
const char* const kPlaceholderPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>test</title></head>
<body style="background:#2a2642;color:#aeb3c2;font-family:sans-serif"></body></html>)";

// The page-side bridge: the handler names pages call, callbacks queued before the channel was
// ready, and the page's announcement address refused by the page itself.
const char* const kShim = R"JS(
(function () {
  if (window.WebViewJavascriptBridge) return;
  var pending = [];
  var bridge = {
    callHandler: function (name, data, callback) {
      if (typeof data === 'function') { callback = data; data = undefined; }
      pending.push([name, data, callback]);
    },
    registerHandler: function () {}
  };
  window.WebViewJavascriptBridge = bridge;
  new QWebChannel(qt.webChannelTransport, function (channel) {
    var native = channel.objects.thirdLogin;
    var call = function (name, data, callback) {
      if (name === 'getClientInfo') {
        if (typeof callback !== 'function') return;
        native.getClientInfo(function (answer) { if (answer !== '') callback(answer); });
      } else if (name === 'userLoginSuccess') {
        native.userLoginSuccess(data === undefined ? null : data);
      } else {
        native.unknownHandler(String(name));
      }
    };
    bridge.callHandler = function (name, data, callback) {
      if (typeof data === 'function') { callback = data; data = undefined; }
      call(name, data, callback);
    };
    pending.forEach(function (p) { call(p[0], p[1], p[2]); });
    pending = [];
    var queued = window.WVJBCallbacks;
    window.WVJBCallbacks = [];
    if (queued) queued.forEach(function (f) { try { f(bridge); } catch (e) {} });
  });
})();
)JS";

nlohmann::json toJson(const QJsonValue& v) {
  if (v.isString()) return v.toString().toStdString();
  if (v.isDouble()) return v.toDouble();
  if (v.isBool()) return v.toBool();
  if (v.isObject()) return nlohmann::json::object();
  if (v.isArray()) return nlohmann::json::array();
  return nullptr;
}

}  // namespace

TsThirdLoginBridge::TsThirdLoginBridge(TsThirdLoginViewController* owner)
    : QObject(owner), owner_(owner) {}

QString TsThirdLoginBridge::getClientInfo() {
  if (!owner_->page()->callAllowed()) return QString();
  return QString::fromStdString(owner_->handler().clientInfo());
}

void TsThirdLoginBridge::userLoginSuccess(const QJsonValue& data) {
  if (!owner_->page()->callAllowed()) return;
  owner_->handler().userLoginSuccess(toJson(data));
}

void TsThirdLoginBridge::unknownHandler(const QString& name) {
  gelmora::logLine("outside-account page: unknown handler " + name.left(64).toStdString());
}

TsThirdLoginViewController::TsThirdLoginViewController(
    const gelmora::ui::OutsideAccountRequest& request, TsThirdLoginHandler::Collaborators c,
    QWidget* parent)
    : QWidget(parent), request_(request) {
  resize(kWidth, kHeight);
  gelmora::ui::setBackgroundColor(this, QColor(42, 38, 66));
  handler_ = std::make_unique<TsThirdLoginHandler>(request.isBind, std::move(c), [this] {
    // Closing from inside the page's own call: finish that call first.
    QMetaObject::invokeMethod(
        this, [this] { dismiss(); }, Qt::QueuedConnection);
  });
  bridge_ = new TsThirdLoginBridge(this);
  webView_ = new QWebEngineView(this);
  page_ =
      new gelmora::app::WebChannelPage(bridge_, "thirdLogin", QString::fromUtf8(kShim), webView_);
  webView_->setPage(page_);
  webView_->setGeometry(0, 0, kWidth, kHeight);
  page_->setHtml(QString::fromUtf8(kPlaceholderPage), QUrl("qrc:/web/test.html"));
  if (!request.url.empty()) page_->load(QUrl(QString::fromStdString(request.url)));

  auto* finish = new QPushButton(gelmora::ui::L10n::text("completed"), this);
  finish->setStyleSheet(
      QString("QPushButton { background: white; border-radius: 15px; border: 1px solid %1; }")
          .arg(TsStyleSheet::sharedInstance().gradientDark().name()));
  finish->setGeometry(kWidth - 20 - 70, kHeight - 10 - 30, 70, 30);
  connect(finish, &QPushButton::clicked, this, [this] { dismiss(); });
  finishButton_ = finish;
}

TsThirdLoginViewController::~TsThirdLoginViewController() = default;

TsThirdLoginViewController* TsThirdLoginViewController::open(
    const gelmora::ui::OutsideAccountRequest& request, QWidget* host,
    TsThirdLoginHandler::Collaborators collaborators) {
  if (request.isView) {
    auto* page = new TsThirdLoginViewController(request, std::move(collaborators), host);
    page->setGeometry(50, 50, 700, 500);
    page->webView()->setGeometry(page->rect());
    page->show();
    return page;
  }
  QWidget* window = gelmora::ui::mainWindow();
  if (!window && host) window = host->window();
  auto* sheet = new QDialog(window);
  sheet->setWindowModality(Qt::WindowModal);
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->resize(kWidth, kHeight);
  if (window) sheet->move(window->geometry().center() - QPoint(kWidth / 2, kHeight / 2));
  auto* page = new TsThirdLoginViewController(request, std::move(collaborators), sheet);
  sheet->show();
  return page;
}

void TsThirdLoginViewController::clearCookies() {
  gelmora::app::QtWebDataStore(page_->profile()).removeAllWebsiteData([](const std::string& name) {
    gelmora::logLine("Cookies for " + name + " deleted successfully");
  });
}

void TsThirdLoginViewController::dismiss() {
  if (dismissed_) return;
  dismissed_ = true;
  clearCookies();
  hide();
  if (request_.isView) {
    setParent(nullptr);
    deleteLater();
    return;
  }
  if (auto* sheet = qobject_cast<QDialog*>(parentWidget())) {
    sheet->close();  // deletes itself and this page
  } else {
    deleteLater();
  }
}

void gelmora::app::registerOutsideAccountPage(ui::ScreenRegistry& registry) {
  registry.outsideAccountPage.set(
      [](const ui::OutsideAccountRequest& request, QWidget* host) -> QWidget* {
        return TsThirdLoginViewController::open(request, host);
      });
}
