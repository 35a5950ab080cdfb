#include "ui/Sections/Accelerate/TsAccelerateFinishView.h"

#include <QPointer>

#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "gelmora/Services/TsfetchIPService.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/ViewHelpers.h"

TsAccelerateFinishView::TsAccelerateFinishView(GeoLookup geo, AppUserDefaults* defaults,
                                               QWidget* parent)
    : QWidget(parent), geo_(std::move(geo)), defaults_(defaults), locationTF_(new QLabel(this)) {
  if (!geo_) geo_ = [] { return TsfetchIPService::fetchPublicIP(); };
  QFont font = locationTF_->font();
  font.setPixelSize(15);
  font.setBold(true);
  locationTF_->setFont(font);
  locationTF_->setObjectName("locationTF");
  locationTF_->setStyleSheet("color: white; background: transparent;");
  locationTF_->setEnabled(false);
}

TsAccelerateFinishView::~TsAccelerateFinishView() { lookup_.dispose(); }

void TsAccelerateFinishView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  locationTF_->setGeometry(15, 90, std::max(0, width() - 15), 40);
}

void TsAccelerateFinishView::reloadData() {
  using gelmora::ui::setTextValue;
  setTextValue(locationTF_, QString("IP: getting..."));
  lookup_.dispose();
  const unsigned mine = ++generation_;
  QPointer<TsAccelerateFinishView> self(this);
  auto current = [self, mine] { return self && self->generation_ == mine; };
  lookup_ = geo_().subscribe(
      {[self, current](const TsUserGEOInfo& info) {
         if (!current()) return;
         setTextValue(self->locationTF_, QString("IP: %1-%2")
                                             .arg(QString::fromStdString(info.country.value_or("")),
                                                  QString::fromStdString(info.city.value_or(""))));
       },
       [self, current](const platform::reactive::Error&) {
         if (!current()) return;
         AppUserDefaults& defaults = self->defaults_ ? *self->defaults_ : app().defaults();
         auto node = defaults.selectedNetNode();
         const std::string name = node ? node->nodeName.value_or("") : std::string();
         setTextValue(self->locationTF_, name.empty() ? gelmora::ui::L10n::text("default_node")
                                                      : QString::fromStdString(name));
       },
       [] {}});
}
