#include "ui/Sections/Line/HLChooseLineVC.h"

#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "platform/notifications/NotificationCenter.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/HLImageAlertView.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Line/HLChooseLineAreaView.h"
#include "ui/Sections/Line/HLChooseLineCell.h"

using gelmora::ui::L10n::text;

namespace {
void post(std::string_view name) {
  platform::notifications::NotificationCenter::defaultCenter().post(name);
}
}  // namespace

HLChooseLineVC::HLChooseLineVC(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
  resize(420, 520);
  // initData
  windowTitleTF_ = new QLabel(text("can_available_choose"), this);
  changeLineTF_ = new QLabel(text(""), this);
  titleTF_ = new QLabel(text("default_node"), this);
  manage_ = deps_.manager ? deps_.manager()
                          : std::make_unique<HLNetLineNodeManage>(
                                app().defaults(), [] { return app().user().uid(); });

  // initUI
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  QFont heading = windowTitleTF_->font();
  heading.setPixelSize(17);
  windowTitleTF_->setFont(heading);
  windowTitleTF_->setAlignment(Qt::AlignCenter);
  windowTitleTF_->setStyleSheet("color: #333333;");
  titleTF_->setStyleSheet("color: #333333;");
  arrow_ = new QLabel(this);
  arrow_->setScaledContents(true);
  areaButton_ = new QPushButton(this);
  areaButton_->setFlat(true);
  areaButton_->setStyleSheet("QPushButton { background: transparent; border: none; }");
  connect(areaButton_, &QPushButton::clicked, this, [this] { areabuttonClick(); });
  table_ = new QListWidget(this);
  table_->setObjectName("tableView");
  table_->setItemDelegate(new HLTableRowView(table_));
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->setStyleSheet("QListWidget { background: white; border: none; }");
  connect(table_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { selectRow(table_->row(item)); });

  areaView_ = new HLChooseLineAreaView(this);
  QPointer<HLChooseLineVC> self(this);
  areaView_->initWithAreaBlock(
      [self] {
        if (self) self->updateArea();
      },
      manage_.get());
  // The drop-down starts closed, the arrow pointing sideways.
  areaView_->hide();
  setArrow("ic_line_arrow_left");

  lineAlerView_ = new HLImageAlertView(this);
  lineAlerView_->configure(
      text("已选择新线路"), text("需重新加速才能生效"),
      gelmora::ui::Images::named("ic_line_change"), text("确认切换"), text("取消切换"),
      [self] {
        if (!self) return;
        // The node that was clicked, not whatever row the table shows now.
        auto node = std::move(self->pendingNode_);
        self->pendingNode_.reset();
        if (node) self->applyNode(node);
        self->lineAlerView_->hide();
      },
      [self] {
        if (!self) return;
        self->pendingNode_.reset();
        self->lineAlerView_->hide();
      });
  lineAlerView_->hide();

  refreshData();
}

HLChooseLineVC::~HLChooseLineVC() = default;

TsUserController& HLChooseLineVC::user() const { return deps_.user ? *deps_.user : app().user(); }

void HLChooseLineVC::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  windowTitleTF_->setGeometry(0, 20, w, 30);
  changeLineTF_->setGeometry(0, 50, w, 0);
  titleTF_->setGeometry(30, 60, w - 90, 30);
  arrow_->setGeometry(w - 50, 68, 14, 14);
  areaButton_->setGeometry(20, 60, w - 40, 30);
  table_->setGeometry(0, 100, w, height() - 100);
}

void HLChooseLineVC::setArrow(const char* name) {
  arrowName_ = name;
  arrow_->setPixmap(gelmora::ui::Images::named(name));
}

void HLChooseLineVC::refreshData() {
  QPointer<HLChooseLineVC> self(this);
  auto sub = manage_->fetchNetLineNodeInfo().subscribeNext([self](const auto&) {
    if (self) self->reloadTable();
  });
  gelmora::ui::keepUntilDestroyed(this, sub);
}

void HLChooseLineVC::reloadTable() {
  table_->clear();
  for (const auto& node : manage_->netNodesInselectedGroup()) {
    auto* item = new QListWidgetItem(table_);
    item->setSizeHint(QSize(0, 50));
    auto* cell = new HLChooseLineCell();
    cell->setObjectName(QString("lineCell%1").arg(table_->count() - 1));
    cell->bindData(*node);
    table_->setItemWidget(item, cell);
  }
}

void HLChooseLineVC::updateArea() {
  if (const auto& group = manage_->selectedNetNodeGroup())
    titleTF_->setText(QString::fromStdString(group->countryName.value_or("")));
  reloadTable();
  areaView_->hide();
}

void HLChooseLineVC::areabuttonClick() {
  if (areaView_->isVisible()) {
    areaView_->hide();
    setArrow("ic_line_arrow_left");
  } else {
    areaView_->show();
    setArrow("ic_line_arrow_top");
  }
}

void HLChooseLineVC::applyNode(const HLNetLineNodeEntityPtr& node) {
  manage_->setSelectedNetNode(node);
  reloadTable();
  post(HLNetNodeChangedNotification);
}

void HLChooseLineVC::selectRow(int row) {
  const auto nodes = manage_->netNodesInselectedGroup();
  if (row < 0 || static_cast<size_t>(row) >= nodes.size()) return;
  const auto node = nodes[row];
  if (node->isLocked()) {
    showUpgradeViewWithPackageName(node->lockDesc.value_or(""));
    return;
  }
  if (node->isSelected()) return;
  const long long status = deps_.vpnStatus ? deps_.vpnStatus() : app().vpn().status();
  if (status == 3) {
    pendingNode_ = node;
    lineAlerView_->show();
    lineAlerView_->raise();
    return;
  }
  applyNode(node);
}

void HLChooseLineVC::showUpgradeViewWithPackageName(const std::string& packageName) {
  std::string current;
  if (const auto& s = user().session(); s && s->userInfo)
    current = s->userInfo->package_name.value_or("");
  const QString message = text("您当前会员为") + text(current) + " " + text("会员") + "," +
                          text("升级为") + text(packageName) + " " + text("会员") +
                          text(",\n即可自由选择路线");
  auto* overlay = new HLImageAlertView(this);
  QPointer<HLImageAlertView> guard(overlay);
  QPointer<HLChooseLineVC> self(this);
  overlay->configure(
      text("升级套餐"), message, gelmora::ui::Images::named("ic_line_change"), text("yes_button"),
      text("cancel"),
      [self, guard] {
        if (self) self->showTopUpWebWindow();
        if (guard) {
          guard->hide();
          guard->deleteLater();
        }
      },
      [guard] {
        if (guard) {
          guard->hide();
          guard->deleteLater();
        }
      });
  upgradeView_ = overlay;
  overlay->show();
  overlay->raise();
}

void HLChooseLineVC::showTopUpWebWindow() {
  const auto& s = user().session();
  const bool iapMode =
      s && s->userInfo && s->userInfo->iap_mode && s->userInfo->iap_mode->intValue() == 1;
  if (user().enableIAP() || iapMode) {
    auto& screens = deps_.screens ? *deps_.screens : gelmora::ui::ScreenRegistry::shared();
    screens.shopSheet.make(this);
    return;
  }
  post(TsUserCenterTopupNotification);
}
