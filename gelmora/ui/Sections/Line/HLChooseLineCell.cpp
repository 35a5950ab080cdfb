#include "ui/Sections/Line/HLChooseLineCell.h"

#include <QPainter>

#include "ui/Kit/Images.h"

const QColor HLChooseLineCell::kChosenColor(130, 123, 255);
const QColor HLChooseLineCell::kOtherColor = QColor::fromRgbF(0.4f, 0.4f, 0.4f);

HLChooseLineCell::HLChooseLineCell(QWidget* parent)
    : QWidget(parent),
      icon_(new QLabel(this)),
      title_(new QLabel(this)),
      lockedBox_(new QWidget(this)),
      lockedTF_(new QLabel(lockedBox_)),
      tick_(new QLabel(this)) {
  title_->setObjectName("titleTF");
  icon_->setScaledContents(true);
  tick_->setScaledContents(true);
  QFont f = title_->font();
  f.setPixelSize(15);
  title_->setFont(f);
  lockedBox_->setStyleSheet("background: #EEEDFB; border-radius: 4px;");
  QFont small = lockedTF_->font();
  small.setPixelSize(11);
  lockedTF_->setFont(small);
  lockedTF_->setStyleSheet("color: #827BFF; background: transparent;");
  lockedTF_->setAlignment(Qt::AlignCenter);
  lockedBox_->hide();
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void HLChooseLineCell::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int h = height();
  icon_->setGeometry(20, (h - 20) / 2, 28, 20);
  title_->setGeometry(60, 0, width() - 200, h);
  lockedBox_->setGeometry(width() - 140, (h - 20) / 2, 80, 20);
  lockedTF_->setGeometry(0, 0, 80, 20);
  tick_->setGeometry(width() - 44, (h - 18) / 2, 18, 18);
}

void HLChooseLineCell::setLook(const std::string& iconName, const QString& title, bool selected) {
  selected_ = selected;
  title_->setText(title);
  title_->setStyleSheet(QString("color: %1; background: transparent;")
                            .arg((selected ? kChosenColor : kOtherColor).name()));
  tick_->setPixmap(gelmora::ui::Images::named(selected ? "ic_line_selected" : "ic_line_normal"));
  // Flag names only ever index our own images; a name without one shows none.
  icon_->setPixmap(!iconName.empty() && gelmora::ui::Images::exists(iconName)
                       ? gelmora::ui::Images::named(iconName)
                       : QPixmap());
}

void HLChooseLineCell::bindData(const HLNetLineNodeEntity& node) {
  lockedBox_->setVisible(node.isLocked());
  lockedTF_->setText(QString::fromStdString(node.lockDesc.value_or("")));
  setLook(node.iconUrlString.value_or(""), QString::fromStdString(node.nodeName.value_or("")),
          node.isSelected());
}

HLChooseLineAreaCell::HLChooseLineAreaCell(QWidget* parent) : HLChooseLineCell(parent) {}

void HLChooseLineAreaCell::bindData(const HLNetLineNodeGroup& group) {
  setLook(group.isAll() ? std::string("ic_node_country_all") : group.iconUrlString.value_or(""),
          QString::fromStdString(group.countryName.value_or("")), group.isSelected());
}

void HLTableRowView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex&) const {
  painter->fillRect(option.rect, Qt::white);
}
