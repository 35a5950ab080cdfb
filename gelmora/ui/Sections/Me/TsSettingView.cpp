#include "ui/Sections/Me/TsSettingView.h"

#include "gelmora/Application/TsLaunchAtLoginService.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;

namespace {
const QColor kPanel(42, 38, 66);
}

TsSettingView::TsSettingView(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  if (!deps_.enableLoginItem) deps_.enableLoginItem = &TsLaunchAtLoginService::enableLoginItem;
  setObjectName("TsSettingView");
  gelmora::ui::setBackgroundColor(this, kPanel);
  const auto& style = TsStyleSheet::sharedInstance();
  auto* title = gelmora::ui::makeMeLabel(this, "titleTF", 17, QColor(255, 255, 255));
  title->setText(text("settings_title"));
  title->setGeometry(30, 20, 300, 26);

  startSettingBtn = new DRFlatButton(this);
  startSettingBtn->setObjectName("startSettingBtn");
  startSettingBtn->setTitle(text("launch_at_login_button"));
  startSettingBtn->setFont(style.h4());
  // Momentary: a click leaves the state to startSetting.
  startSettingBtn->setMomentary(true);
  startSettingBtn->setCornerRadius(4);
  startSettingBtn->setBorderWidth(1);
  startSettingBtn->setBorderNormalColor(style.darkGray());
  startSettingBtn->setBorderHighlightColor(style.lightBlue());
  startSettingBtn->setBackgroundHighlightColor(style.lightBlue());
  startSettingBtn->setTitleNormalColor(style.darkWhite());
  startSettingBtn->setTitleHighlightColor(QColor(255, 255, 255));
  connect(startSettingBtn, &QAbstractButton::clicked, this, [this] { startSetting(); });

  closeSettingBtn = new QCheckBox(text("close_app_button"), this);
  closeSettingBtn->setObjectName("closeSettingBtn");
  closeSettingBtn->setFont(style.h4());
  closeSettingBtn->setStyleSheet(QString("color: %1;").arg(style.darkWhite().name()));
  connect(closeSettingBtn, &QAbstractButton::clicked, this, [this] { closeSetting(); });

  logoutBtn = new QPushButton(text("sign_out_button"), this);
  logoutBtn->setObjectName("logoutBtn");
  logoutBtn->setFont(style.h4());
  logoutBtn->setStyleSheet(
      "QPushButton { color: white; border: 1px solid #75808d; border-radius: 16px; }");
  connect(logoutBtn, &QPushButton::clicked, this, [this] { logou(); });

  closeButton = new QPushButton(this);
  closeButton->setObjectName("closeButton");
  closeButton->setFlat(true);
  closeButton->setIcon(gelmora::ui::Images::icon("ic_close"));
  closeButton->setStyleSheet("QPushButton { border: none; }");
  connect(closeButton, &QPushButton::clicked, this, [this] { close(); });
  resize(480, 273);
}

AppUserDefaults& TsSettingView::defaults() const {
  return deps_.defaults ? *deps_.defaults : app().defaults();
}

void TsSettingView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  closeButton->setGeometry(width() - 40, 14, 26, 26);
  startSettingBtn->setGeometry(30, 70, width() - 60, 36);
  closeSettingBtn->setGeometry(30, 122, width() - 60, 28);
  logoutBtn->setGeometry((width() - 160) / 2, height() - 70, 160, 34);
}

void TsSettingView::reloadData() {
  closeSettingBtn->setChecked(defaults().closeApp());
  startSettingBtn->setState(defaults().launchAtLogin() ? 1 : 0);
}

void TsSettingView::closeSetting() { defaults().setCloseApp(closeSettingBtn->isChecked()); }

void TsSettingView::startSetting() {
  // The state flips here, once, and goes back when the login item refuses.
  if (startSettingBtn->state() != 0) {
    startSettingBtn->setState(0);
    if (!deps_.enableLoginItem(false)) startSettingBtn->setState(1);
  } else {
    startSettingBtn->setState(1);
    if (!deps_.enableLoginItem(true)) startSettingBtn->setState(0);
  }
  defaults().setLaunchAtLogin(startSettingBtn->state() == 1);
}

void TsSettingView::logou() {
  TsUserController& user = deps_.user ? *deps_.user : app().user();
  user.resign().subscribe({[](const auto&) {}, [](const platform::reactive::Error&) {}, [] {}});
}

void TsSettingView::close() { hide(); }
