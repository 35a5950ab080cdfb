#include "ui/Sections/Me/TsUserProfileViewController.h"

#include <QShowEvent>
#include <QUrl>

#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/TsLaunchAtLoginService.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "gelmora/Shared/PXExtension.h"
#include "gelmora/Shared/Tessaryn.h"
#include "ui/Application/Collaborators.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/TsAboutView.h"
#include "ui/Sections/Me/TsEditProfileWC.h"
#include "ui/Sections/Me/TsSettingView.h"

using gelmora::ui::L10n::text;
using gelmora::ui::setTextValue;

namespace {

constexpr const char* kDateFormat = "yyyy-MM-dd HH:mm:ss";

// Only non-empty http and https addresses with a host leave the application.
bool openable(const std::string& url) {
  const QUrl u(QString::fromStdString(url), QUrl::StrictMode);
  const QString scheme = u.scheme().toLower();
  return u.isValid() && (scheme == "http" || scheme == "https") && !u.host().isEmpty();
}

}  // namespace

TsUserProfileViewController::TsUserProfileViewController(Dependencies dependencies,
                                                         QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  deps_.alerts = gelmora::ui::withQtMeAlerts(std::move(deps_.alerts));
  if (!deps_.enableLoginItem) deps_.enableLoginItem = &TsLaunchAtLoginService::enableLoginItem;
  if (!deps_.memberCentre.user) deps_.memberCentre.user = deps_.user;
  if (!deps_.memberCentre.images) deps_.memberCentre.images = deps_.images;

  view_ = new TsUserProfileView;
  if (deps_.version) view_->setVersionSource(deps_.version);
  view_->setParent(this);
  view_->setObjectName("TsUserProfileView");

  // The carousel: the picture news as they are now, scrolling from two items on.
  if (const auto& news = user().pictureNews(); news && news->is_array()) {
    for (const auto& entry : *news) {
      auto item = tq::fromDictionary<JVX_PICTURE_NEWS>(entry);
      items_.push_back(item ? *item : JVX_PICTURE_NEWS{});
    }
  }
  auto* carousel = view_->carousel;
  carousel->setNumberOfItems([this] { return static_cast<int>(items_.size()); });
  carousel->setViewForItem(
      [this](int index, QWidget* reusing) { return makeItemView(index, reusing); });
  carousel->reloadData();
  connect(carousel, &gelmora::ui::CarouselWidget::didSelectItemAtIndex, this,
          [this](int index) { didSelectItemAtIndex(index); });

  // The seven commands, tagged 100 to 106 in this order.
  QPushButton* buttons[] = {view_->editButton,  view_->logoutButton, view_->aboutButton,
                            view_->shareButton, view_->orderButton,  view_->helpButton,
                            view_->vipButton};
  for (int i = 0; i < 7; ++i) {
    gelmora::ui::setViewTag(buttons[i], 100 + i);
    connect(buttons[i], &QPushButton::clicked, this, [this, i] { btnClick(100 + i); });
  }
  connect(view_->bootCheckBox, &QCheckBox::clicked, this, [this] { toggleBootButton(); });
  connect(view_->payButton, &QAbstractButton::clicked, this, [this] { payButtonClicked(); });
  resize(850, 600);
}

TsUserProfileViewController::~TsUserProfileViewController() {
  if (webWindow_) webWindow_->close();
  delete vipWC_.data();
  delete editWC_.data();
}

TsUserController& TsUserProfileViewController::user() const {
  return deps_.user ? *deps_.user : app().user();
}
AppUserDefaults& TsUserProfileViewController::defaults() const {
  return deps_.defaults ? *deps_.defaults : app().defaults();
}
gelmora::ui::ScreenRegistry& TsUserProfileViewController::screens() const {
  return deps_.screens ? *deps_.screens : gelmora::ui::ScreenRegistry::shared();
}

bool TsUserProfileViewController::purchaseMode() const {
  if (user().enableIAP()) return true;
  const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user());
  return info && info->iap_mode && info->iap_mode->intValue() == 1;
}

QWidget* TsUserProfileViewController::makeItemView(int index, QWidget* reusing) {
  auto* view = qobject_cast<QLabel*>(reusing);
  if (!view) {
    view = new QLabel;
    view->setScaledContents(true);
    view->setGeometry(0, 0, 450, 200);
  }
  view->clear();
  const auto& image = items_[static_cast<size_t>(index)].image;
  if (image && !image->empty()) {
    auto& loader = deps_.images ? *deps_.images : gelmora::ui::ImageLoader::shared();
    loader.setImage(view, QString::fromStdString(*image));
  }
  return view;
}

void TsUserProfileViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(rect());
}

void TsUserProfileViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  reloadData();
  // Dragging the carousel must not move the window.
  window()->setProperty("movableByWindowBackground", false);
  user().refreshUserProfile();
  // One profile observer for the page's life, however often it appears.
  if (profileObservers_ == 0) {
    ++profileObservers_;
    gelmora::ui::observe(this, TsUserInfoChangedNotification,
                         [this](const platform::notifications::Notification&) { reloadData(); });
  }
  if (deps_.memberPage) {
    deps_.memberPage();
  } else {
    app().analytics().memberPage();
  }
}

void TsUserProfileViewController::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  window()->setProperty("movableByWindowBackground", true);
}

void TsUserProfileViewController::reloadData() {
  ++reloads_;
  view_->aboutButton->hide();
  view_->aboutTF->hide();
  view_->editBox->setVisible(!purchaseMode());
  const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user());
  const JVX_USER_INFO none;
  const JVX_USER_INFO& u = info ? *info : none;
  const std::string uid = u.uid ? std::to_string(u.uid->intValue()) : std::string();
  setTextValue(view_->idTF, u.uid ? QString::fromStdString("id:" + Tessaryn::uidEncrypt(uid))
                                  : QString());
  setTextValue(view_->userNameTF, gelmora::ui::qText(u.nick_name));
  setTextValue(view_->packTypeTF,
               u.package_name ? std::optional(text(*u.package_name)) : std::nullopt);
  if (u.expire_date) {
    if (u.expire_date->starts_with("2099")) {
      setTextValue(view_->expireDateLabel->infoLabel(), text("长期有效"));
    } else {
      // A date the formatter cannot read is shown as the service sent it.
      auto shown = PXExtension::dateStringFromString(*u.expire_date, kDateFormat, kDateFormat);
      setTextValue(view_->exDateTF, QString::fromStdString(shown.value_or(*u.expire_date)));
    }
  }
  if (vipWC_ && !uid.empty()) vipWC_->reloadData();
}

void TsUserProfileViewController::btnClick(int tag) {
  const std::string loginCode = user().loginCode();
  switch (tag) {
    case 100:
      editProfile();
      break;
    case 101:
      logoutButtonClicked();
      break;
    case 102: {
      auto* about = new TsAboutView(view_, deps_.version);
      about->setGeometry(150, view_->height() - 450, 500, 375);
      about->show();
      about->raise();
      aboutView_ = about;
      break;
    }
    case 103: {
      const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user());
      const std::string share = info && info->share_domain ? *info->share_domain : std::string();
      // Nothing to copy: no copy and no "copied" notice.
      if (share.empty()) break;
      setClipboard(share);
      deps_.alerts.notice(QString(), text("text_copied"));
      break;
    }
    case 104: {
      auto env = app().env();
      showWebWindowWithTitle("my_order_title", env ? env->OrderURL() : std::string());
      break;
    }
    case 105: {
      auto env = app().env();
      const std::string url = "http://" + (env ? env->WebDomain() : std::string()) +
                              "/in-app/questions?logincode=" + loginCode;
      showWebWindowWithTitle(QString(), url);
      break;
    }
    case 106:
      goVipCenter();
      break;
    default:
      break;
  }
}

void TsUserProfileViewController::showWebWindowWithTitle(const QString& titleKey,
                                                         const std::string& url) {
  if (webWindow_) {
    webWindow_->close();
    webWindow_.reset();
  }
  gelmora::ui::WebWindowRequest request;
  request.title = titleKey.isEmpty() ? QString() : text(titleKey.toStdString());
  request.width = 680;
  request.height = 500;
  request.url = url;
  webWindow_ = screens().webWindow.make(request);
}

void TsUserProfileViewController::setClipboard(const std::string& value) {
  Clipboard& board = deps_.clipboard ? *deps_.clipboard : gelmora::ui::clipboard();
  board.setText(value);
}

void TsUserProfileViewController::toggleBootButton() {
  QCheckBox* box = view_->bootCheckBox;
  if (!box->isChecked()) {
    if (!deps_.enableLoginItem(false)) box->setChecked(true);
  } else {
    if (!deps_.enableLoginItem(true)) box->setChecked(false);
  }
  defaults().setLaunchAtLogin(box->isChecked());
}

void TsUserProfileViewController::payButtonClicked() {
  if (purchaseMode()) {
    screens().shopSheet.make(this);
    return;
  }
  auto env = app().env();
  const std::string url = "http://" + (env ? env->Q4ServiceDomain() : std::string()) +
                          "/package?is_pc=1&logincode=" + user().loginCode();
  UrlOpener& opener = deps_.urlOpener ? *deps_.urlOpener : gelmora::ui::urlOpener();
  opener.openURL(url);
}

void TsUserProfileViewController::logoutButtonClicked() {
  const long long status = deps_.vpnStatus ? deps_.vpnStatus() : app().vpn().status();
  const QString message = text(status == 3 ? "quit_stop_acceleration" : "want_to_quit");
  QPointer<TsUserProfileViewController> self(this);
  deps_.alerts.confirm(this, message, QString(), [self] {
    if (!self) return;
    self->user().resign().subscribe(
        {[](const JVX_RESP_USER_LOGOUT&) {}, [](const platform::reactive::Error&) {}, [] {}});
  });
}

void TsUserProfileViewController::goVipCenter() {
  if (!vipWC_) vipWC_ = new TsUserCenterWC(deps_.memberCentre);
  vipWC_->show();
  vipWC_->raise();
  vipWC_->activateWindow();
}

void TsUserProfileViewController::editProfile() {
  if (!editWC_) {
    if (deps_.makeEditor) {
      editWC_ = deps_.makeEditor();
    } else {
      TsEditProfileDependencies d;
      d.user = deps_.user;
      d.alerts = deps_.alerts;
      d.screens = deps_.screens;
      editWC_ = new TsEditProfileWC(d);
    }
    if (!editWC_) return;
  }
  editWC_->show();
  editWC_->raise();
  editWC_->activateWindow();
}

void TsUserProfileViewController::didSelectItemAtIndex(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return;
  const auto& url = items_[static_cast<size_t>(index)].url;
  if (!url || url->empty() || view_->carousel->isScrolling()) return;
  if (!openable(*url)) return;
  UrlOpener& opener = deps_.urlOpener ? *deps_.urlOpener : gelmora::ui::urlOpener();
  opener.openURL(*url);
}

namespace gelmora::ui {
void registerProfileScreens(ScreenRegistry& registry) {
  registry.profile.set(
      [](QWidget* parent) -> QWidget* { return new TsUserProfileViewController({}, parent); });
  registry.settingsPanel.set([](QWidget* parent) -> QWidget* {
    auto* panel = new TsSettingView({}, parent);
    panel->reloadData();
    return panel;
  });
}
}  // namespace gelmora::ui
