#include "ui/Sections/Accelerate/TsAccelerateViewController.h"

#include <QApplication>
#include <QScreen>
#include <QWindow>

#include "gelmora/Application/AlertSheetPresenter.h"
#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/netext/VpnStatus.h"
#include "ui/Application/Collaborators.h"
#include "ui/Kit/Alert.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/HLImageAlertView.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/TsWindow.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Line/HLChooseLineVC.h"

using gelmora::ui::L10n::text;
using platform::notifications::Notification;

namespace {
constexpr double kRecommendDelaySeconds = 0.3;

QString lineAttr(const QString& prefix, const std::optional<std::string>& name,
                 const char* fallbackKey) {
  QString shown = name && !name->empty() ? QString::fromStdString(*name) : text(fallbackKey);
  return QString(
             "%1<img src=\":/images/ic_location.png\" width=\"8\" height=\"10\"> "
             "<u>%2</u>&nbsp;&nbsp;")
      .arg(prefix.toHtmlEscaped(), shown.toHtmlEscaped());
}
}  // namespace

TsAccelerateViewController::TsAccelerateViewController(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  TsAccelerateView::Dependencies viewDeps;
  viewDeps.geo = deps_.geo;
  viewDeps.defaults = deps_.defaults;
  viewDeps.strip = deps_.strip;
  if (!viewDeps.strip.user) viewDeps.strip.user = deps_.user;
  viewDeps.urlOpener = deps_.urlOpener;
  view_ = new TsAccelerateView(std::move(viewDeps), this);
  resize(view_->size());

  view_->goImageButton()->hide();
  connect(view_->goImageButton(), &QPushButton::clicked, this, [this] { goImageBtnClick(); });
  QPointer<TsAccelerateViewController> self(this);
  view_->topBtnBlock = [self](int index) {
    if (self) self->topButtonClicked(index);
  };
  setWindowTitle(title());
  connect(view_->goButton(), &QAbstractButton::clicked, this, [this] { goButtonClicked(); });
  connect(view_->recommendButton(), &QPushButton::clicked, this, [this] { showRecommend(); });
  connect(view_->lineButton(), &QAbstractButton::clicked, this, [this] { chooseLine(); });
  refreshLineLabel();
  view_->modeLabel()->setText(createLineAttrWithModeString(std::nullopt));
  view_->reloadData();

  gelmora::ui::observe(this, platform::netext::NEVPNStatusDidChangeNotification,
                       [this](const Notification&) { vpnStateChanged(true); });
  gelmora::ui::observe(this, TsUserInfoChangedNotification,
                       [this](const Notification&) { view_->reloadData(); });
  gelmora::ui::observe(this, HLNetNodeChangedNotification,
                       [this](const Notification&) { refreshLineLabel(); });
  updateNetNodeIfNeeded();
  // A screen made while acceleration runs shows where it stands, not the idle look.
  vpnStateChanged(false);
}

TsAccelerateViewController::~TsAccelerateViewController() {
  *alive_ = false;
  if (webWindow_) webWindow_->close();
  if (chooseLineWC_) delete chooseLineWC_.data();
}

AccelerationController& TsAccelerateViewController::vpn() const {
  return deps_.vpn ? *deps_.vpn : app().vpn();
}
TsUserController& TsAccelerateViewController::user() const {
  return deps_.user ? *deps_.user : app().user();
}
AppUserDefaults& TsAccelerateViewController::defaults() const {
  return deps_.defaults ? *deps_.defaults : app().defaults();
}
gelmora::ui::ScreenRegistry& TsAccelerateViewController::screens() const {
  return deps_.screens ? *deps_.screens : gelmora::ui::ScreenRegistry::shared();
}

void TsAccelerateViewController::analytics(std::string_view event) {
  if (deps_.analytics) {
    deps_.analytics(event);
    return;
  }
  auto& a = app().analytics();
  if (event == "speed") a.speed();
  if (event == "firstAccelerate") a.firstAccelerate();
  if (event == "acceleratePage") a.acceleratePage();
}

void TsAccelerateViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(rect());
}

void TsAccelerateViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!startRunning_) vpnStateChanged(false);
  updateResetTraffic();
  const auto& title = user().newsTitle();
  if (title && !title->empty()) {
    view_->updateNewsButtonWithTitle(QString::fromStdString(*title),
                                     QString::fromStdString(user().newsLink().value_or("")));
  }
  analytics("acceleratePage");
}

void TsAccelerateViewController::refreshLineLabel() {
  auto node = defaults().selectedNetNode();
  view_->lineLabel()->setText(
      createLineAttrWithLineString(node ? node->nodeName : std::optional<std::string>()));
}

QString TsAccelerateViewController::createLineAttrWithLineString(
    const std::optional<std::string>& name) {
  return lineAttr(text("current_node"), name, "default_node");
}

QString TsAccelerateViewController::createLineAttrWithModeString(
    const std::optional<std::string>& name) {
  return lineAttr(QString("%1: ").arg(text("acceleration_mode")), name, "default_mode");
}

void TsAccelerateViewController::goImageBtnClick() {
  view_->goImageButton()->hide();
  toggleState();
}

void TsAccelerateViewController::toggleState() {
  const long long status = vpn().status();
  if (status == 1) {
    if (!defaults().selectedNetNode()) {
      chooseLine();
      return;
    }
    view_->changeState(TsAccelerateView::Starting, true);
    startRunning_ = true;
    std::weak_ptr<bool> alive = alive_;
    QPointer<TsAccelerateViewController> self(this);
    auto live = [alive, self] {
      auto a = alive.lock();
      return a && *a && self;
    };
    auto subscription = vpn().start().subscribe(
        {nullptr,
         [self, live](const platform::reactive::Error&) {
           if (!live()) return;
           self->startRunning_ = false;
           self->view_->changeState(TsAccelerateView::Idle, true);
         },
         [self, live] {
           if (!live()) return;
           self->startRunning_ = false;
           self->view_->changeState(TsAccelerateView::Accelerated, true);
           self->analytics("speed");
           const std::string url = self->defaults().recommendURL().value_or("");
           if (!url.empty()) {
             self->view_->recommendButton()->show();
             gelmora::ui::UiTiming::after(kRecommendDelaySeconds, self, [self, url] {
               if (self) self->showRecommendWithURL(url);
             });
           }
           self->analytics("firstAccelerate");
         }});
    gelmora::ui::keepUntilDestroyed(this, subscription);
  } else if (status == 3) {
    view_->changeState(TsAccelerateView::Idle, true);
    vpn().stop();
    view_->recommendButton()->hide();
    const std::string url = defaults().endBoostFeedbackUrl().value_or("");
    if (!url.empty()) showWebWindowWithTitle("", url);
  }
}

void TsAccelerateViewController::vpnStateChanged(bool animated) {
  const long long status = vpn().status();
  // While this screen's own start runs, "connecting" is what the starting look already shows;
  // turning it into the busy look would stop the climbing percentage half way. "Disconnected"
  // announced before the start's outcome (the tunnel engine announces it again as it saves its
  // configuration) is no outcome either: the start's failure makes the look idle.
  if (startRunning_ && (status == 0 || status == 1 || status == 2)) {
    updateResetTraffic();
    return;
  }
  switch (status) {
    case 0:
    case 1:
      view_->changeState(TsAccelerateView::Idle, animated);
      break;
    case 2:
    case 5:
      view_->changeState(TsAccelerateView::Busy, animated);
      break;
    case 3:
      view_->changeState(TsAccelerateView::Accelerated, animated);
      break;
    default:
      break;
  }
  updateResetTraffic();
}

void TsAccelerateViewController::updateResetTraffic() {
  long long rest = 0;
  const auto& session = user().session();
  if (session && session->userInfo && session->userInfo->rest_traffic)
    rest = session->userInfo->rest_traffic->intValue();
  view_->trafficLabel()->setText(QString("%1MB").arg(rest));
}

void TsAccelerateViewController::chooseLine() {
  QWidget* content = deps_.lineChoice ? deps_.lineChoice() : new HLChooseLineVC();
  if (!content) return;
  auto* window = new TsWindow();
  window->setAttribute(Qt::WA_DeleteOnClose);
  const QSize size = content->size().isEmpty() ? QSize(420, 520) : content->size();
  window->setContentView(content);
  // Centred on the key window, tops aligned.
  QWidget* key = QApplication::activeWindow();
  if (!key) key = this->window();
  const QRect k = key ? key->frameGeometry() : QRect();
  window->setGeometry(k.x() + (k.width() - size.width()) / 2, k.y(), size.width(), size.height());
  window->show();
  chooseLineWC_ = window;
}

void TsAccelerateViewController::closeChooseLineWC() {
  if (chooseLineWC_) chooseLineWC_->close();
  chooseLineWC_ = nullptr;
}

void TsAccelerateViewController::showRecommend() {
  const std::string url = defaults().recommendURL().value_or("");
  if (url.empty()) return;
  QPointer<TsAccelerateViewController> self(this);
  gelmora::ui::UiTiming::after(0, this, [self, url] {
    if (self) self->showRecommendWithURL(url);
  });
}

void TsAccelerateViewController::showRecommendWithURL(const std::string& url) {
  showWebWindowWithTitle("", url);
}

void TsAccelerateViewController::showWebWindowWithTitle(const QString& titleKey,
                                                        const std::string& url) {
  // One web window per screen: a new page closes the one open before.
  const bool replacing = static_cast<bool>(webWindow_);
  if (webWindow_) {
    webWindow_->close();
    webWindow_.reset();
  }
  gelmora::ui::WebWindowRequest request;
  request.title = titleKey.isEmpty() ? QString() : text(titleKey.toStdString());
  request.width = 680;
  request.height = 500;
  request.url = url;
  request.needRefreshUser = !replacing;
  webWindow_ = screens().webWindow.make(request);
}

void TsAccelerateViewController::setClipboard(const std::string& text) {
  Clipboard& c = deps_.clipboard ? *deps_.clipboard : gelmora::ui::clipboard();
  c.setText(text);
}

QWidget* TsAccelerateViewController::settingView() {
  if (!settingView_) {
    QWidget* panel = screens().settingsPanel.make(view_);
    if (!panel) return nullptr;
    panel->hide();
    panel->resize(480, 273);
    panel->move((view_->width() - 480) / 2, view_->height() / 2 - 50 - 273 / 2);
    settingView_ = panel;
  }
  return settingView_;
}

void TsAccelerateViewController::topButtonClicked(int index) {
  switch (index) {
    case 0: {
      std::string url;
      if (deps_.supportChatURL) {
        url = deps_.supportChatURL();
      } else if (auto env = app().env()) {
        url = env->SupportChatURL();
      }
      if (url.empty()) {
        gelmora::logLine("support chat: no address for this brand");
        return;
      }
      UrlOpener& opener = deps_.urlOpener ? *deps_.urlOpener : gelmora::ui::urlOpener();
      opener.openURL(url);
      break;
    }
    case 1: {
      const auto& session = user().session();
      const std::string domain = session && session->userInfo
                                     ? session->userInfo->share_domain.value_or("")
                                     : std::string();
      // Nothing to share: no copy and no claim that something was copied.
      if (domain.empty()) return;
      setClipboard(domain);
      if (deps_.alerts) {
        deps_.alerts->showSheet(std::string(), text("text_copied").toStdString(), {});
      } else {
        gelmora::ui::showAlertWithTitle(QString(), text("text_copied"));
      }
      break;
    }
    case 2:
      if (QWidget* panel = settingView()) {
        panel->show();
        panel->raise();
        QMetaObject::invokeMethod(panel, "reloadData", Qt::DirectConnection);
      }
      break;
    default:
      break;
  }
}

void TsAccelerateViewController::updateNetNodeIfNeeded() {
  if (defaults().defaultsNetNode()) return;
  firstLineManager_ = deps_.lineManager ? deps_.lineManager()
                                        : std::make_unique<HLNetLineNodeManage>(
                                              defaults(), [this] { return user().uid(); });
  if (!firstLineManager_) return;
  QPointer<TsAccelerateViewController> self(this);
  auto sub = firstLineManager_->fetchNetLineNodeInfo().subscribe(
      {nullptr, [](const platform::reactive::Error&) {},
       [self] {
         if (!self) return;
         self->defaults().setSelectedNetNode(self->defaults().defaultsNetNode());
         self->refreshLineLabel();
       }});
  gelmora::ui::keepUntilDestroyed(this, sub);
}

namespace gelmora::ui {
void registerAccelerationScreen(ScreenRegistry& registry) {
  registry.acceleration.set(
      [](QWidget* parent) -> QWidget* { return new TsAccelerateViewController({}, parent); });
}
}  // namespace gelmora::ui
