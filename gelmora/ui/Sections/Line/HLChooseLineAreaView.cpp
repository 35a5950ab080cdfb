#include "ui/Sections/Line/HLChooseLineAreaView.h"

#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "ui/Sections/Line/HLChooseLineCell.h"

HLChooseLineAreaView::HLChooseLineAreaView(QWidget* parent)
    : QWidget(parent), table_(new QListWidget(this)) {
  table_->setItemDelegate(new HLTableRowView(table_));
  table_->setStyleSheet("QListWidget { background: white; border: 1px solid #E5E5EA; }");
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  connect(table_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { selectRow(table_->row(item)); });
  resize(300, 320);
}

void HLChooseLineAreaView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  table_->setGeometry(rect());
}

void HLChooseLineAreaView::initWithAreaBlock(std::function<void()> areaBlock,
                                             HLNetLineNodeManage* manage) {
  areaBlock_ = std::move(areaBlock);
  manage_ = manage;
}

void HLChooseLineAreaView::show() {
  if (parentWidget()) {
    const QRect p = parentWidget()->rect();
    move(p.center().x() - width() / 2, p.center().y() - height() / 2);
  }
  QWidget::show();
  raise();
  reloadData();
}

void HLChooseLineAreaView::reloadData() {
  table_->clear();
  if (!manage_) return;
  for (const auto& group : manage_->allNetNodeGroups()) {
    auto* item = new QListWidgetItem(table_);
    item->setSizeHint(QSize(0, 50));
    auto* cell = new HLChooseLineAreaCell();
    cell->bindData(*group);
    table_->setItemWidget(item, cell);
  }
}

void HLChooseLineAreaView::selectRow(int row) {
  if (!manage_ || row < 0) return;
  const auto& groups = manage_->allNetNodeGroups();
  if (static_cast<size_t>(row) >= groups.size()) return;
  const auto group = groups[row];
  if (group->isSelected()) return;  // stays open
  manage_->setSelectedNetNodeGroup(group);
  reloadData();
  if (areaBlock_) areaBlock_();
  hide();
}
