#include "app/Sections/Web/WebWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>

#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Shared/WebAddress.h"
#include "ui/Application/Collaborators.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace gelmora::app {

namespace {
constexpr int kBarHeight = 40;
constexpr int kRechargeWidth = 1100;
constexpr int kRechargeHeight = 700;
}  // namespace

QColor WebWindow::barColor() { return TsStyleSheet::sharedInstance().backgroundColor(); }

WebWindow::WebWindow(Collaborators c, QWidget* parent)
    : QWidget(parent, Qt::Window), c_(std::move(c)) {
  setWindowTitle(QString());
  ui::setBackgroundColor(this, barColor());

  logo_ = new QLabel(this);
  logo_->setPixmap(
      ui::Images::named("ic_logo").scaled(28, 28, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  logo_->setGeometry(10, 6, 28, 28);

  auto* back = new QPushButton(QStringLiteral("‹"), this);
  back->setFlat(true);
  back->setStyleSheet("QPushButton { color: white; font-size: 24px; border: none; }");
  back->setGeometry(10, 5, 30, 30);
  back->hide();
  connect(back, &QPushButton::clicked, this, [this] { onBackClick(); });
  back_ = back;

  title_ = new QLabel(this);
  title_->setAlignment(Qt::AlignCenter);
  title_->setFont(TsStyleSheet::sharedInstance().h3());
  title_->setStyleSheet("color: white;");

  auto* share = new QPushButton(ui::L10n::text("share"), this);
  share->setFlat(true);
  share->setStyleSheet("QPushButton { color: white; border: none; }");
  connect(share, &QPushButton::clicked, this, [this] { onShareClick(); });
  share->hide();  // hidden once the window has loaded
  share_ = share;

  webView_ = new QWebEngineView(this);
  page_ = new PageBridge(
      PageBridge::Methods::WithReturn,
      [this](const QString& name, const QString& value) { onPageCommand(name, value); }, webView_);
  webView_->setPage(page_);
  // A page committed: the address changed, or a page (one of the history's) finished loading;
  // the history is current only once the engine has reported back, so look on the next turn. The
  // reload after a way back waits until the page shows the entry it went to and the engine has
  // stopped loading: the end of a load still under way at the click, or the engine's report of
  // the way back, may come before or after the new address.
  auto commitSoon = [this] {
    QMetaObject::invokeMethod(
        this, [this] { onCommit(); }, Qt::QueuedConnection);
  };
  connect(page_, &QWebEnginePage::urlChanged, this, commitSoon);
  connect(page_, &QWebEnginePage::loadingChanged, this, commitSoon);  // a load started or ended
  resize(680, 500);
}

WebWindow::~WebWindow() = default;

void WebWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  title_->setGeometry(60, 0, width() - 120, kBarHeight);
  share_->setGeometry(width() - 60, 5, 50, 30);
  webView_->setGeometry(0, kBarHeight, width(), height() - kBarHeight);
}

void WebWindow::initWithTitle(const QString& title, int width, int height,
                              const std::string& requestUrl) {
  QPointer<WebWindow> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, title, width, height, requestUrl] {
        if (!self) return;
        self->setUp(title, width, height, requestUrl);
        self->show();
        self->raise();
        self->activateWindow();
      },
      Qt::QueuedConnection);
}

void WebWindow::setUp(const QString& title, int width, int height, const std::string& requestUrl) {
  isRecharge_ = isRechargeTitle(title.toStdString());
  const QSize size = isRecharge_ ? QSize(kRechargeWidth, kRechargeHeight)
                                 : QSize(std::max(width, 1), std::max(height, 1));
  setGeometry(QRect(QPoint(0, 0), size));
  if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(size.width() / 2, size.height() / 2));
  }
  const std::string address = appendLang(requestUrl, language());
  title_->setText(ui::L10n::text(title.toStdString()));
  setWindowTitle(title_->text());
  if (address.empty()) return;
  page_->load(QUrl(QString::fromStdString(address)));
}

std::string WebWindow::language() const {
  if (c_.language) return c_.language();
  return ::app().language().value_or(std::string());
}

void WebWindow::onCommit() {
  if (!webView_ || !page_) return;
  if (!page_->history()->canGoBack()) {
    back_->hide();
    logo_->show();
    if (isClickGoBack_) {
      isClickGoBack_ = false;
      reloadPending_ = true;
    }
    webView_->show();
    if (reloadPending_ && page_->url() == backTarget_ && !page_->isLoading()) {
      reloadPending_ = false;
      backTarget_.clear();
      page_->triggerAction(QWebEnginePage::Reload);
    }
  } else {
    back_->show();
    logo_->hide();
  }
}

void WebWindow::onBackClick() {
  if (!page_->history()->canGoBack()) return;
  backTarget_ = page_->history()->backItem().url();
  isClickGoBack_ = true;
  page_->triggerAction(QWebEnginePage::Back);
  webView_->hide();
}

void WebWindow::onShareClick() { page_->runJavaScript("copyCurrentUrl()"); }

void WebWindow::setClipboard(const std::string& text) {
  (c_.clipboard ? *c_.clipboard : ui::clipboard()).setText(text);
}

void WebWindow::refreshUser() {
  if (c_.refreshUser) {
    c_.refreshUser();
    return;
  }
  ::app().user().refreshUserProfile();
}

void WebWindow::onPageCommand(const QString& name, const QString& value) {
  if (name == QLatin1String("OnOpenLink"))
    PageBridge::openLink(c_.urlOpener ? *c_.urlOpener : ui::urlOpener(), value);
}

void WebWindow::closeEvent(QCloseEvent* event) {
  if (!closedByOwner_ && (isRecharge_ || needRefreshUser_)) refreshUser();
  event->accept();
}

void WebWindow::closeByOwner() {
  closedByOwner_ = true;
  page_->triggerAction(QWebEnginePage::Stop);
  hide();
}

WebWindowController::WebWindowController(const ui::WebWindowRequest& request,
                                         WebWindow::Collaborators collaborators)
    : window_(new WebWindow(std::move(collaborators))) {
  window_->setAttribute(Qt::WA_DeleteOnClose, false);
  window_->setNeedRefreshUser(request.needRefreshUser);
  window_->initWithTitle(request.title, request.width, request.height, request.url);
}

WebWindowController::~WebWindowController() { close(); }

void WebWindowController::close() {
  if (!window_) return;
  window_->closeByOwner();
  window_->deleteLater();
  window_.clear();
}

}  // namespace gelmora::app
