#include "app/Legacy/OlderWebWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineHistory>

#include "app/WebProfile.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Legacy/LegacyPageQuery.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/LegacyContext.h"
#include "ui/Legacy/MainWindow.h"

namespace gelmora::app {

namespace {

std::string storedText(const char* key) {
  auto v = TsParamsDirectory::getValue(key);
  if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
  return {};
}

bool hostIn(const QString& host, const char* key) {
  auto list = TsParamsDirectory::getNSDictionaryValue(key);
  if (!list || !list->is_array()) return false;
  for (const auto& entry : *list) {
    if (!entry.is_string()) continue;
    QUrl u(QString::fromStdString(LegacyPageQuery::withScheme(entry.get<std::string>())));
    if (!u.host().isEmpty() && u.host().compare(host, Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

std::unique_ptr<OlderWebWindow>& feedbackSlot() {
  static auto* slot = new std::unique_ptr<OlderWebWindow>;
  return *slot;
}

}  // namespace

bool OlderWebWindow::olderHostAllowed(const std::string& url) {
  QUrl u(QString::fromStdString(url));
  const QString scheme = u.scheme().toLower();
  if (u.host().isEmpty() || (scheme != "http" && scheme != "https")) return false;
  const QString host = u.host();
  for (int i : {1, 2}) {
    if (host.compare(QString::fromStdString(ui::LegacyContext::fallbackHost(i)),
                     Qt::CaseInsensitive) == 0) {
      return true;
    }
  }
  return hostIn(host, "domain_list") || hostIn(host, "pay_list");
}

OlderWebWindow::OlderWebWindow(LegacyWebVariant variant, QWidget* parent)
    : QWidget(parent, Qt::Window), variant_(variant) {
  setObjectName(LegacyPageCommands::className(variant));
  const QString title = QString::fromStdString(LegacyPageCommands::title(variant));
  setWindowTitle(title);
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bar = new QWidget(this);
  bar->setObjectName("titleBar");
  bar->setAttribute(Qt::WA_StyledBackground);
  bar->setStyleSheet("QWidget#titleBar { background: #1f2233; } QLabel { color: #ffffff; }");
  auto* bl = new QHBoxLayout(bar);
  auto* back = new QPushButton(QStringLiteral("返回"), bar);
  back->setObjectName("btnBack");
  connect(back, &QPushButton::clicked, this, [this] { OnBackClick(); });
  title_ = new QLabel(title, bar);
  title_->setObjectName("LabelTitle");
  bl->addWidget(back);
  bl->addWidget(title_, 1);
  layout->addWidget(bar);

  const auto methods = LegacyPageCommands::hasWithReturn(variant) ? PageBridge::Methods::WithReturn
                                                                  : PageBridge::Methods::InvokeOnly;
  page_ = new PageBridge(
      methods, [this](const QString& name, const QString& value) { pageCommand(name, value); },
      this);
  page_->setAlsoAllowed(&OlderWebWindow::olderHostAllowed);
  webView_ = new QWebEngineView(this);
  webView_->setObjectName(variant == LegacyWebVariant::FeedBackB ||
                                  variant == LegacyWebVariant::Share
                              ? "webView"
                              : "webViewOfRecharge");
  // The bridge sits on the view the page is loaded into.
  webView_->setPage(page_);
  layout->addWidget(webView_, 1);
  resize(650, 680);

  // Opening: the page address under the window's key (scheme added when missing).
  std::string stored = storedText(LegacyPageCommands::pageKey(variant));
  address_ =
      stored.empty() ? QString() : QString::fromStdString(LegacyPageQuery::withScheme(stored));
  if (!address_.isEmpty()) webView_->load(QUrl(address_));
}

OlderWebWindow::~OlderWebWindow() {
  // The page goes before the view that shows it.
  webView_->setPage(nullptr);
  delete page_;
}

void OlderWebWindow::pageCommand(const QString& name, const QString& value) {
  if (variant_ == LegacyWebVariant::FeedBackB || variant_ == LegacyWebVariant::Share) {
    gelmora::logLine("InvokeFromJavascript operationName:" + name.left(64).toStdString() +
                     " value" + value.left(64).toStdString());
  }
  ui::MainWindow* main = ui::MainWindow::Main();
  auto result =
      LegacyPageCommands::dispatch(variant_, name.toStdString(), value.toStdString(), main);
  if (result.title) title_->setText(QString::fromStdString(*result.title));
  if (result.close) {
    closingByCommand_ = true;
    close();
    closingByCommand_ = false;
  }
}

void OlderWebWindow::OnBackClick() {
  if (webView_->history()->canGoBack()) webView_->back();
}

void OlderWebWindow::closeEvent(QCloseEvent* event) {
  // The main window hears once of every way the top-up window ends.
  if (variant_ == LegacyWebVariant::Recharge && !closingByCommand_) {
    if (ui::MainWindow* main = ui::MainWindow::Main()) main->rechargeDone();
  }
  event->accept();
}

OlderWebWindow* OlderWebWindow::make(const std::string& className) {
  if (className == "FeedBackB") return new FeedBackB;
  if (className == "Feedback") return new Feedback;
  if (className == "Recharge") return new Recharge;
  if (className == "MyOrder") return new MyOrder;
  if (className == "Question") return new Question;
  if (className == "Share") return new Share;
  return nullptr;
}

void registerOlderWebWindows(ui::ScreenRegistry& registry) {
  registry.olderWebWindow.set(
      [](const std::string& name) -> QWidget* { return OlderWebWindow::make(name); });
}

void installFeedbackHook() {
  TsHttpHelper::setFeedbackHook([] {
    auto& slot = feedbackSlot();
    slot.reset(new FeedBackB);
    if (QWidget* active = QApplication::activeWindow()) {
      slot->move(active->geometry().center() - slot->rect().center());
    }
    slot->show();
    slot->raise();
  });
}

OlderWebWindow* keptFeedBackB() { return feedbackSlot().get(); }

}  // namespace gelmora::app
