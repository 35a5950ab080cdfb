#include "ui/Sections/Me/TsUserCenterWC.h"

#include <QPointer>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Accelerate/TsPackagePrivilege.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;
using gelmora::ui::makeMeLabel;
using gelmora::ui::setTextValue;

namespace {
const QColor kWhite(255, 255, 255);
const QColor kCaption(111, 107, 152);
const QColor kPanel(42, 38, 66);
}  // namespace

TsUserCenterWC::TsUserCenterWC(Dependencies dependencies, QWidget* parent)
    : QWidget(parent, Qt::Window), deps_(std::move(dependencies)) {
  if (!deps_.fetch) {
    deps_.fetch = [](std::optional<int64_t> packageId) {
      auto call = std::make_shared<JVX_API_PACKAGE_PRIVILEGE>();
      call->setReq(JVX_REQ_PACKAGE_PRIVILEGE{});
      if (packageId) call->req().package_id = tq::Number(*packageId);
      return RAC::rac_send(call);
    };
  }
  if (!deps_.webDomain) {
    deps_.webDomain = [] {
      auto env = app().env();
      return env ? env->WebDomain() : std::string();
    };
  }
  const auto& style = TsStyleSheet::sharedInstance();
  setWindowTitle(text("member_center_button"));
  resize(700, 500);
  content_ = new QWidget(this);
  content_->setObjectName("contentView");
  gelmora::ui::setBackgroundColor(this, style.backgroundColor());

  topTF = makeMeLabel(content_, "topTF", 19, kWhite);
  vipTF = makeMeLabel(content_, "vipTF", 13, kCaption);
  titleTF = makeMeLabel(content_, "titleTF", 17, kWhite);
  subTitleTF = makeMeLabel(content_, "subTitleTF", 13, style.darkWhite());
  leftPackageTF = makeMeLabel(content_, "leftPackageTF", 13, kCaption);
  packageTF = makeMeLabel(content_, "packageTF", 13, kWhite);
  leftDateTF = makeMeLabel(content_, "leftDateTF", 13, kCaption);
  dateTF = makeMeLabel(content_, "dateTF", 13, kWhite);
  leftLimitTF = makeMeLabel(content_, "leftLimitTF", 13, kCaption);
  limitTF = makeMeLabel(content_, "limitTF", 13, kWhite);
  mbsTF = makeMeLabel(content_, "mbsTF", 13, kWhite);
  mobileTF = makeMeLabel(content_, "mobileTF", 13, kWhite);
  deskTF = makeMeLabel(content_, "deskTF", 13, kWhite);
  BottomTF = makeMeLabel(content_, "BottomTF", 15, kWhite);

  packageBox = new QFrame(content_);
  packageBox->setObjectName("packageBox");
  gelmora::ui::setBackgroundColor(packageBox, kPanel);
  upgradeTF = makeMeLabel(packageBox, "upgradeTF", 13, style.lightBlue());
  resetTF = makeMeLabel(packageBox, "resetTF", 13, kCaption);

  topupButton = new QPushButton(content_);
  topupButton->setObjectName("topupButton");
  topupButton->setFlat(true);
  topupButton->setCursor(Qt::PointingHandCursor);
  topupButton->setStyleSheet(
      "QPushButton { border: 1px solid #2bbdd4; border-radius: 17px; background: transparent; }");
  topupTF = makeMeLabel(topupButton, "topupTF", 13, style.lightBlue());
  topupTF->setAlignment(Qt::AlignCenter);
  topupTF->setAttribute(Qt::WA_TransparentForMouseEvents);
  connect(topupButton, &QPushButton::clicked, this, [this] { topup(); });

  for (int i = 0; i < kSlots; ++i) {
    auto* picture = new QLabel(content_);
    picture->setObjectName(QString("privilegeImage%1").arg(i));
    picture->setScaledContents(true);
    gelmora::ui::setViewTag(picture, 100 + i);
    auto* name = makeMeLabel(content_, "", 13, kCaption);
    name->setObjectName(QString("privilegeName%1").arg(i));
    name->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    name->setWordWrap(true);
    gelmora::ui::setViewTag(name, 10 + i);
  }

  // The cover over the package area, in the window's background colour.
  maskView = new QWidget(content_);
  maskView->setObjectName("maskView");
  gelmora::ui::setBackgroundColor(maskView, style.backgroundColor());

  // Captions, in the order of the layout.
  setTextValue(topTF, text("member_center_button"));
  setTextValue(vipTF, text("member_center_button"));
  setTextValue(leftPackageTF, text("package_type"));
  setTextValue(leftDateTF, text("expired_date"));
  leftDateTF->adjustSize();
  setTextValue(leftLimitTF, text("限速状态"));
  setTextValue(BottomTF, text("privilege_to_introduce"));
  setTextValue(upgradeTF, text("upgrade"));
  setTextValue(topupTF, text("buy_again_button"));
  setTextValue(resetTF, text("购买流量"));

  reloadData();
}

TsUserCenterWC::~TsUserCenterWC() { request_.dispose(); }

TsUserController& TsUserCenterWC::user() const { return deps_.user ? *deps_.user : app().user(); }

void TsUserCenterWC::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  content_->setGeometry(rect());
  topTF->setGeometry(30, 20, 300, 28);
  vipTF->setGeometry(width() - 180, 24, 150, 20);
  vipTF->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  titleTF->setGeometry(30, 64, 400, 26);
  subTitleTF->setGeometry(30, 92, 500, 20);
  const int rowLeft = 30, valueLeft = 140;
  QLabel* captions[] = {leftPackageTF, leftDateTF, leftLimitTF};
  QLabel* values[] = {packageTF, dateTF, limitTF};
  for (int i = 0; i < 3; ++i) {
    captions[i]->setGeometry(rowLeft, 128 + 28 * i, 105, 22);
    values[i]->setGeometry(valueLeft, 128 + 28 * i, 260, 22);
  }
  leftDateTF->adjustSize();
  QLabel* limits[] = {mbsTF, mobileTF, deskTF};
  for (int i = 0; i < 3; ++i) limits[i]->setGeometry(width() - 230, 128 + 28 * i, 200, 22);
  maskView->setGeometry(20, 120, width() - 40, 92);
  packageBox->setGeometry(30, 226, width() - 60, 40);
  upgradeTF->setGeometry(12, 10, 200, 20);
  resetTF->setGeometry(packageBox->width() - 212, 10, 200, 20);
  resetTF->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  BottomTF->setGeometry(30, 282, 300, 24);
  for (int i = 0; i < kSlots; ++i) {
    const int left = 30 + i * ((width() - 60) / kSlots);
    const int slotWidth = (width() - 60) / kSlots;
    if (QWidget* picture = gelmora::ui::viewWithTag(content_, 100 + i))
      picture->setGeometry(left + (slotWidth - 64) / 2, 318, 64, 64);
    if (QWidget* name = gelmora::ui::viewWithTag(content_, 10 + i))
      name->setGeometry(left, 390, slotWidth, 40);
  }
  topupButton->setGeometry((width() - 180) / 2, height() - 56, 180, 34);
  topupTF->setGeometry(topupButton->rect());
}

void TsUserCenterWC::reloadData() {
  getPackageInfo();
  const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user());
  const JVX_USER_INFO none;
  const JVX_USER_INFO& u = info ? *info : none;
  const int64_t status = u.expired_and_pause_status ? u.expired_and_pause_status->intValue() : 0;
  maskView->setVisible(status != 3);
  using gelmora::ui::qText;
  setTextValue(titleTF, qText(u.package_name));
  const std::string uid = u.uid ? std::to_string(u.uid->intValue()) : std::string();
  setTextValue(subTitleTF,
               QString("%1   UID:%2")
                   .arg(QString::fromStdString(u.username.value_or("")), QString::fromStdString(uid)));
  setTextValue(packageTF, qText(u.package_name));
  setTextValue(dateTF, qText(u.expire_date));
  const bool lowSpeed = u.low_speed && u.low_speed->boolValue();
  const QColor colour = lowSpeed ? QColor(251, 22, 88) : QColor(111, 107, 152);
  setTextValue(limitTF, text(lowSpeed ? "流量耗尽，被限速" : "无限速，正常使用"));
  limitTF->setStyleSheet(QString("color: %1; background: transparent;").arg(colour.name()));
  packageBox->setVisible(u.package_upgrade && u.package_upgrade->boolValue());
}

void TsUserCenterWC::getPackageInfo() {
  std::optional<int64_t> packageId;
  if (const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user()); info && info->product_id)
    packageId = info->product_id->intValue();
  // A newer request replaces the one in flight, so an older answer never lands after it.
  request_.dispose();
  const unsigned mine = ++generation_;
  QPointer<TsUserCenterWC> self(this);
  request_ = deps_.fetch(packageId).subscribeNext([self, mine](const nlohmann::json& answer) {
    if (!self || self->generation_ != mine) return;
    self->apply(TsPackagePrivilege::fromJSON(answer));
  });
}

void TsUserCenterWC::apply(const TsPackagePrivilege& p) {
  using gelmora::ui::qText;
  setTextValue(mbsTF, qText(p.flowSize));
  setTextValue(mobileTF, qText(p.mobileLimit));
  setTextValue(deskTF, qText(p.desktopLimit));
  auto& loader = deps_.images ? *deps_.images : gelmora::ui::ImageLoader::shared();
  const std::string host = deps_.webDomain();
  // Entries without a picture are skipped; the rest fill the slots in order.
  int slot = 0;
  for (const auto& item : p.images) {
    if (!item.image) continue;
    auto* picture = qobject_cast<QLabel*>(gelmora::ui::viewWithTag(content_, 100 + slot));
    auto* name = qobject_cast<QLabel*>(gelmora::ui::viewWithTag(content_, 10 + slot));
    if (!picture || !name) break;  // more privileges than slots: the rest are left out
    setTextValue(name, qText(item.name));
    picture->clear();
    // Only a path on the brand's own host: anything else could name another host ("@x/").
    if (item.image->starts_with('/') && !host.empty()) {
      const QString url = QString::fromStdString("http://" + host + *item.image);
      picture->setProperty("imageURL", url);
      QPointer<QLabel> target(picture);
      loader.load(url, picture, [target, url](const QImage& image) {
        if (target && target->property("imageURL").toString() == url)
          target->setPixmap(QPixmap::fromImage(image));
      });
    }
    ++slot;
  }
}

void TsUserCenterWC::topup() {
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserCenterTopupNotification);
  gelmora::ui::UiTiming::after(kTopupCloseSeconds, this, [this] { hide(); });
}
