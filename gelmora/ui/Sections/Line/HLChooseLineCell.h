#pragma once
// Rows of the line choice: one node (HLChooseLineCell) or one group (HLChooseLineAreaCell): flag,
// name (purple when chosen, grey otherwise), tick, and for a locked node the unlocking package.
// HLTableRowView draws every row alike, selected or not: the tick is the only mark.
#include <QLabel>
#include <QStyledItemDelegate>
#include <QWidget>

#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "gelmora/Sections/Line/HLNetLineNodeGroup.h"

class HLChooseLineCell : public QWidget {
  Q_OBJECT
 public:
  static const QColor kChosenColor;
  static const QColor kOtherColor;

  explicit HLChooseLineCell(QWidget* parent = nullptr);
  void bindData(const HLNetLineNodeEntity& node);

  QLabel* iconImageView() const { return icon_; }
  QLabel* titleTF() const { return title_; }
  QLabel* lockedTF() const { return lockedTF_; }
  QWidget* lockedBox() const { return lockedBox_; }
  QLabel* selectImageView() const { return tick_; }
  bool showsSelected() const { return selected_; }

 protected:
  void setLook(const std::string& iconName, const QString& title, bool selected);
  void resizeEvent(QResizeEvent* event) override;

  QLabel* icon_;
  QLabel* title_;
  QWidget* lockedBox_;
  QLabel* lockedTF_;
  QLabel* tick_;
  bool selected_ = false;
};

class HLChooseLineAreaCell : public HLChooseLineCell {
  Q_OBJECT
 public:
  explicit HLChooseLineAreaCell(QWidget* parent = nullptr);
  void bindData(const HLNetLineNodeGroup& group);
};

class HLTableRowView : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return {0, 50}; }
};
