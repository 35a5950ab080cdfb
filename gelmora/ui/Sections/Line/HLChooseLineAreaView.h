#pragma once
// The group drop-down of the line choice: "All" and the service's countries; choosing one lists
// its nodes on the screen and closes the drop-down.
#include <QListWidget>
#include <QWidget>
#include <functional>

class HLNetLineNodeManage;

class HLChooseLineAreaView : public QWidget {
  Q_OBJECT
 public:
  explicit HLChooseLineAreaView(QWidget* parent = nullptr);
  void initWithAreaBlock(std::function<void()> areaBlock, HLNetLineNodeManage* manage);
  void show();
  void hide() { QWidget::hide(); }
  void reloadData();
  // A click on row `row` of the group table.
  void selectRow(int row);
  QListWidget* tableView() const { return table_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QListWidget* table_;
  std::function<void()> areaBlock_;
  HLNetLineNodeManage* manage_ = nullptr;
};
