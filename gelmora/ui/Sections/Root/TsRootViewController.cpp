#include "ui/Sections/Root/TsRootViewController.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>

#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Root/TsMenuViewController.h"

namespace {
constexpr int64_t kFirstUsableStatus = 3;  // expired users get the menu too
constexpr double kFadeSeconds = 0.2;
constexpr double kFeedbackDelaySeconds = 0.3;
const QColor kSystemRed(255, 59, 48);

using platform::notifications::Notification;
}  // namespace

TsRootViewController::TsRootViewController(Dependencies dependencies, QWidget* parent)
    : QWidget(parent),
      deps_(std::move(dependencies)),
      screens_(deps_.screens ? *deps_.screens : gelmora::ui::ScreenRegistry::shared()) {
  gelmora::ui::observe(this, TsUserStateChangedNotification,
                       [this](const Notification&) { toggleContent(); });
  gelmora::ui::observe(this, TsUserLoginFeedbackNotification,
                       [this](const Notification&) { showLoginFeedback(); });
  auto registerEvent = [this](const Notification&) {
    if (deps_.registerAnalytics) {
      deps_.registerAnalytics();
    } else {
      app().analytics().registerEvent();
    }
  };
  gelmora::ui::observe(this, TsUserRegisterGANotification, registerEvent);
  gelmora::ui::observe(this, TsUserRegisterSuccessNotification, registerEvent);

  resize(950, 600);
  gelmora::ui::setBackgroundColor(this, kSystemRed);
  toogleContenViewController();

  if (deps_.startupAnalytics) {
    deps_.startupAnalytics();
  } else {
    app().analytics().startup();
  }
}

TsRootViewController::~TsRootViewController() {
  if (webWindow_) webWindow_->close();
}

std::shared_ptr<TsRootViewController> TsRootViewController::create(Dependencies dependencies) {
  auto* root = new TsRootViewController(std::move(dependencies));
  QPointer<TsRootViewController> alive(root);
  return std::shared_ptr<TsRootViewController>(
      root, [alive](TsRootViewController*) { delete alive.data(); });
}

int64_t TsRootViewController::status() const {
  return deps_.userStatus ? deps_.userStatus() : app().user().status();
}

AppUserDefaults& TsRootViewController::defaults() const {
  return deps_.defaults ? *deps_.defaults : app().defaults();
}

TsMenuViewController* TsRootViewController::menuViewController() {
  struct Entry {
    const char* key;
    const gelmora::ui::ScreenRegistry::Screen& slot;
    const char* title;
    const char* image;
    const char* highlighted;
  };
  const Entry entries[] = {
      {"acceleration", screens_.acceleration, "acceleration_button", "ic_accelerate",
       "ic_accelerate_highlighted"},
      {"shop", screens_.shop, "top_up_button", "topup", "topup_highlighted"},
      {"profile", screens_.profile, "user_button", "ic_more", "ic_more_highlighted"},
  };
  std::vector<TsMenuItem> items;
  for (const Entry& e : entries) {
    // Screens not built yet have no item.
    if (!e.slot.registered()) continue;
    TsMenuItem item;
    item.key = QString::fromLatin1(e.key);
    item.viewController = e.slot.make(nullptr);
    item.normalImage = gelmora::ui::Images::named(e.image);
    item.highlightImage = gelmora::ui::Images::named(e.highlighted);
    item.title = gelmora::ui::L10n::text(e.title);
    items.push_back(std::move(item));
  }
  return new TsMenuViewController(std::move(items));
}

void TsRootViewController::toogleContenViewController() {
  QWidget* next = nullptr;
  bool nextIsLogin;
  if (status() < kFirstUsableStatus) {
    if (current_ && currentIsLogin_) return;
    next = screens_.login.make(nullptr);
    nextIsLogin = true;
    gelmora::logLine("Load OXLoginViewController.");
  } else {
    next = menuViewController();
    nextIsLogin = false;
  }

  const bool hadChild = current_ != nullptr;
  if (current_) {
    // The old screen may be running the very handler that led here: it goes once that returns.
    current_->hide();
    current_->setParent(nullptr);
    current_->deleteLater();
    current_ = nullptr;
  }
  currentIsLogin_ = nextIsLogin;
  if (!next) return;
  next->setParent(this);
  next->setGeometry(rect());
  current_ = next;
  if (hadChild && gelmora::ui::UiTiming::ms(kFadeSeconds) > 0) {
    auto* effect = new QGraphicsOpacityEffect(next);
    effect->setOpacity(0);
    next->setGraphicsEffect(effect);
    auto* fade = new QPropertyAnimation(effect, "opacity", next);
    fade->setDuration(gelmora::ui::UiTiming::ms(kFadeSeconds));
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    QPointer<QWidget> shown(next);
    connect(fade, &QPropertyAnimation::finished, next, [shown] {
      if (shown) shown->setGraphicsEffect(nullptr);
    });
    fade->start(QAbstractAnimation::DeleteWhenStopped);
  }
  next->show();
}

void TsRootViewController::toggleContent() {
  toogleContenViewController();
  gelmora::ui::UiTiming::after(kFeedbackDelaySeconds, this, [this] { showFeedBack(); });
}

void TsRootViewController::showFeedBack() {
  if (status() != 0) return;
  const auto url = defaults().logoutFeedbackUrl();
  if (!url || url->empty()) return;
  showWebWindowWithTitle(QString(), *url);
  defaults().setLogoutFeedbackUrl(std::string());
}

void TsRootViewController::showLoginFeedback() {
  if (status() == 0) return;
  const auto url = defaults().loginFeedbackUrl();
  if (!url || url->empty()) return;
  showWebWindowWithTitle(QString(), *url);
  defaults().setLoginFeedbackUrl(std::string());
}

void TsRootViewController::showWebWindowWithTitle(const QString& titleKey,
                                                  const std::string& urlString) {
  if (webWindow_) {
    webWindow_->close();
    webWindow_.reset();
  }
  gelmora::ui::WebWindowRequest request;
  request.title = titleKey.isEmpty() ? QString() : gelmora::ui::L10n::text(titleKey.toStdString());
  request.width = 680;
  request.height = 500;
  request.url = urlString;
  webWindow_ = screens_.webWindow.make(request);
}

void TsRootViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (current_) current_->setGeometry(rect());
}
