#include "app/Sections/Shop/TsIAPShopViewController.h"

#include <QDialog>
#include <QPointer>

#include "app/Sections/Feedback/TsFeedbackWindow.h"
#include "app/Sections/Web/WebWindow.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Shop/TsIAPShopViewModel.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Root/TsRootViewController.h"

namespace {
constexpr int kSide = 400;
constexpr double kPayFeedbackDelaySeconds = 0.3;
}  // namespace

TsIAPShopViewController::TsIAPShopViewController(Collaborators c, QWidget* parent)
    : TsIAPShopView(parent), c_(std::move(c)) {
  TsUserController& user = c_.user ? *c_.user : ::app().user();
  model_ = TsIAPShopViewModel::create(user);
  gelmora::ui::setBackgroundColor(this, TsStyleSheet::sharedInstance().backgroundColor());
  resize(kSide, kSide);

  connect(finishButton(), &QAbstractButton::clicked, this, [this] { finishButtonClicked(); });
  setDelegate(this);

  QPointer<TsIAPShopViewController> weak(this);
  subscriptions_.add(model_->loading().signal().subscribeNext([weak](const bool& loading) {
    if (!weak) return;
    if (loading) {
      weak->loadingIndicator()->show();
      weak->loadingIndicator()->startAnimation();
    } else {
      weak->loadingIndicator()->hide();
      weak->loadingIndicator()->stopAnimation();
    }
  }));
  subscriptions_.add(model_->fetchProducts().subscribeCompleted([weak] {
    if (weak) weak->updateWithProducts(weak->model_->products());
  }));

  web_ = new QWebEngineView(this);
  page_ = new gelmora::app::PageBridge(
      gelmora::app::PageBridge::Methods::WithReturn,
      [this](const QString& name, const QString& value) { onPageCommand(name, value); }, web_);
  web_->setPage(page_);
  page_->setBackgroundColor(TsStyleSheet::sharedInstance().backgroundColor());
  web_->setGeometry(rect());
  web_->hide();

  homeBtn_ = new DRFlatButton(this);
  homeBtn_->setTitle(gelmora::ui::L10n::text("refresh_button"));
  homeBtn_->setTitleNormalColor(QColor(111, 107, 152));
  homeBtn_->setTitleHighlightColor(QColor(111, 107, 152));
  homeBtn_->setBackgroundNormalColor(QColor(Qt::transparent));
  homeBtn_->setBackgroundHighlightColor(QColor(Qt::transparent));
  homeBtn_->setBorderNormalColor(QColor(Qt::transparent));
  homeBtn_->setBorderHighlightColor(QColor(Qt::transparent));
  homeBtn_->setMomentary(true);
  QFont font = homeBtn_->font();
  font.setPixelSize(17);
  homeBtn_->setFont(font);
  homeBtn_->hide();
  connect(homeBtn_, &QAbstractButton::clicked, this, [this] { goHome(); });
  resizeEvent(nullptr);

  // What the screen does once built: the page, then the page event.
  goHome();
  if (c_.topupAnalytics)
    c_.topupAnalytics();
  else
    ::app().analytics().topupPage();
}

TsIAPShopViewController::~TsIAPShopViewController() { subscriptions_.dispose(); }

void TsIAPShopViewController::resizeEvent(QResizeEvent* event) {
  if (event) TsIAPShopView::resizeEvent(event);
  if (web_) web_->setGeometry(rect());
  // 750 from the left, 550 above the bottom edge: visible from 850 by 580 on.
  if (homeBtn_) homeBtn_->setGeometry(750, height() - 580, 100, 30);
}

void TsIAPShopViewController::showEvent(QShowEvent* event) {
  TsIAPShopView::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  web_->show();
  web_->raise();
  homeBtn_->show();
  homeBtn_->raise();
}

void TsIAPShopViewController::goHome() {
  std::string url;
  if (c_.topupURL) {
    url = c_.topupURL();
  } else if (auto env = ::app().env()) {
    url = env->TopupURL();
  }
  if (url.empty()) return;
  page_->load(QUrl(QString::fromStdString(url)));
}

void TsIAPShopViewController::finishButtonClicked() {
  QPointer<TsIAPShopViewController> weak(this);
  subscriptions_.add(model_->fetchProducts().subscribeCompleted([weak] {
    if (weak) weak->updateWithProducts(weak->model_->products());
  }));
}

void TsIAPShopViewController::didTouchedBuyButtonAtIndex(int64_t index, TsIAPShopView*) {
  const auto& products = model_->products();
  if (index < 0 || static_cast<size_t>(index) >= products.size()) return;
  QPointer<TsIAPShopViewController> weak(this);
  subscriptions_.add(
      model_->buyProduct(products[static_cast<size_t>(index)]).subscribe({nullptr, nullptr, [weak] {
                                                                            if (!weak) return;
                                                                            weak->refreshUser();
                                                                            weak->dismiss();
                                                                          }}));
}

void TsIAPShopViewController::refreshUser() {
  if (c_.refreshUser) {
    c_.refreshUser();
    return;
  }
  (c_.user ? *c_.user : ::app().user()).refreshUserProfile();
}

void TsIAPShopViewController::onPageCommand(const QString& name, const QString& value) {
  // Every test runs, whatever the earlier ones found.
  if (name == QLatin1String("OnOpenLink"))
    gelmora::app::PageBridge::openLink(c_.urlOpener ? *c_.urlOpener : gelmora::ui::urlOpener(),
                                       value);
  if (name == QLatin1String("OnPaySuccess")) {
    activeMainWindow();
    gelmora::ui::UiTiming::after(kPayFeedbackDelaySeconds, this, [this] { showPayFeedBakc(); });
  }
  if (name == QLatin1String("CloseWindow")) {
    refreshUser();
    goHome();
  }
}

void TsIAPShopViewController::showPayFeedBakc() {
  AppUserDefaults& defaults = c_.defaults ? *c_.defaults : ::app().defaults();
  const auto url = defaults.payFeedbackUrl();
  if (!url || url->empty()) return;
  if (c_.showWebWindow) {
    c_.showWebWindow(*url);
    return;
  }
  QWidget* main = gelmora::ui::mainWindow();
  auto* root = main ? main->findChild<TsRootViewController*>() : nullptr;
  if (!root) {
    gelmora::logLine("shop: no main window for the pay feedback page");
    return;
  }
  root->showWebWindowWithTitle(QString(), *url);
}

void TsIAPShopViewController::activeMainWindow() {
  if (c_.activeMainWindow) {
    c_.activeMainWindow();
    return;
  }
  if (QWidget* main = gelmora::ui::mainWindow()) {
    main->show();
    main->raise();
    main->activateWindow();
  }
}

void TsIAPShopViewController::dismiss() {
  if (auto* sheet = qobject_cast<QDialog*>(parentWidget())) sheet->close();
}

QWidget* TsIAPShopViewController::presentAsSheet(QWidget* host, Collaborators collaborators) {
  QWidget* window = host ? host->window() : gelmora::ui::mainWindow();
  auto* sheet = new QDialog(window);
  sheet->setWindowModality(Qt::WindowModal);
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->setFixedSize(kSide, kSide);
  if (window) sheet->move(window->geometry().center() - QPoint(kSide / 2, kSide / 2));
  auto* shop = new TsIAPShopViewController(std::move(collaborators), sheet);
  shop->setGeometry(0, 0, kSide, kSide);
  sheet->show();
  return sheet;
}

void gelmora::app::registerWebScreens(ui::ScreenRegistry& registry) {
  registry.shop.set(
      [](QWidget* parent) -> QWidget* { return new TsIAPShopViewController({}, parent); });
  registry.shopSheet.set(
      [](QWidget* host) -> QWidget* { return TsIAPShopViewController::presentAsSheet(host); });
  registry.webWindow.set([](const ui::WebWindowRequest& request) {
    return std::unique_ptr<ui::WebWindowHandle>(new WebWindowController(request));
  });
  registry.feedbackWindow.set(
      [](const std::string& url) -> QWidget* { return new TsFeedbackWindow(url); });
}
