#include "ui/Sections/Accelerate/TsAccelerateTopView.h"

#include <QPointer>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {

const QColor kTextColor(111, 107, 152);

QLabel* makeLabel(QWidget* parent, Qt::Alignment alignment) {
  auto* label = new QLabel(parent);
  label->setFont(TsStyleSheet::sharedInstance().h4());
  label->setStyleSheet(QString("color: %1; background: transparent;").arg(kTextColor.name()));
  label->setAlignment(alignment);
  label->setAttribute(Qt::WA_TransparentForMouseEvents);
  return label;
}

}  // namespace

TsAccelerateTopView::TsAccelerateTopView(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  if (!deps_.fetch) {
    deps_.fetch = [](std::optional<int64_t> packageId) {
      auto call = std::make_shared<JVX_API_PACKAGE_PRIVILEGE>();
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
  upgradeButton_ = new TsFlatButton(this);
  upgradeButton_->setTitle(gelmora::ui::L10n::text("升级套餐"));
  upgradeButton_->setFont(TsStyleSheet::sharedInstance().h4());
  connect(upgradeButton_, &QAbstractButton::clicked, this, [this] { topUp(); });
  for (int i = 0; i < kSlots; ++i) {
    auto* picture = new QLabel(this);
    picture->setAttribute(Qt::WA_TransparentForMouseEvents);
    picture->setScaledContents(true);
    imageViews_.push_back(picture);
    auto* name = makeLabel(this, Qt::AlignHCenter | Qt::AlignTop);
    name->setWordWrap(true);
    names_.push_back(name);
    if (i < 3) values_.push_back(makeLabel(this, Qt::AlignLeft | Qt::AlignVCenter));
  }
  imageURLs_.assign(kSlots, QString());
}

TsAccelerateTopView::~TsAccelerateTopView() { request_.dispose(); }

void TsAccelerateTopView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  upgradeButton_->setGeometry(width() - 100, 30, 100, 28);
  for (int i = 0; i < kSlots; ++i) {
    const int left = 30 + 90 * i;
    imageViews_[i]->setGeometry(left, 0, 45, 45);
    names_[i]->setGeometry(left + 22 - 45, 45 + 15, 90, 50);
    if (i < 3) values_[i]->setGeometry(width() - 100 - 120, 30 * i, 120, 25);
  }
}

void TsAccelerateTopView::topUp() {
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserCenterTopupNotification);
}

void TsAccelerateTopView::getPackageInfo() {
  TsUserController& user = deps_.user ? *deps_.user : app().user();
  std::optional<int64_t> packageId;
  if (user.session() && user.session()->userInfo && user.session()->userInfo->product_id)
    packageId = user.session()->userInfo->product_id->intValue();
  // A newer request replaces the one in flight, so an older answer never lands after it.
  request_.dispose();
  const unsigned mine = ++generation_;
  QPointer<TsAccelerateTopView> self(this);
  request_ = deps_.fetch(packageId).subscribeNext([self, mine](const nlohmann::json& answer) {
    if (!self || self->generation_ != mine) return;
    self->apply(TsPackagePrivilege::fromJSON(answer));
  });
}

void TsAccelerateTopView::apply(const TsPackagePrivilege& p) {
  using gelmora::ui::setTextValue;
  auto q = [](const std::optional<std::string>& s) {
    return s ? std::optional<QString>(QString::fromStdString(*s)) : std::nullopt;
  };
  setTextValue(values_[0], q(p.flowSize));
  setTextValue(values_[1], q(p.mobileLimit));
  setTextValue(values_[2], q(p.desktopLimit));
  auto& loader = deps_.images ? *deps_.images : gelmora::ui::ImageLoader::shared();
  const std::string host = deps_.webDomain();
  for (size_t i = 0; i < static_cast<size_t>(kSlots); ++i) {
    // Slots beyond this answer are cleared, not left with an older package's pictures.
    imageViews_[i]->clear();
    imageURLs_[i].clear();
    if (i >= p.images.size()) {
      names_[i]->clear();
      continue;
    }
    const auto& item = p.images[i];
    setTextValue(names_[i], q(item.name));
    // Only a path on the brand's own host: anything else could name another host ("@x/").
    if (item.image && item.image->starts_with('/') && !host.empty()) {
      const QString url = QString::fromStdString("http://" + host + *item.image);
      imageURLs_[i] = url;
      QPointer<TsAccelerateTopView> self(this);
      loader.load(url, imageViews_[i], [self, i, url](const QImage& image) {
        // A picture of an older answer that arrives late is not shown.
        if (!self || self->imageURLs_[i] != url) return;
        self->imageViews_[i]->setPixmap(QPixmap::fromImage(image));
      });
    }
  }
}
