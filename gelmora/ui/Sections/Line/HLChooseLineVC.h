#pragma once
// The line choice: the nodes of one group, a drop-down of groups, the chosen node ticked. Locked
// nodes lead to an upgrade prompt; changing the line while accelerated asks first. Each opening
// is a new screen with its own manager and one request.
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <memory>

#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "ui/Application/ScreenRegistry.h"

class HLChooseLineAreaView;
#include "ui/Kit/HLImageAlertView.h"
class HLNetLineNodeManage;
class TsUserController;

struct HLChooseLineDependencies {
  // The screen's manager; empty: one over the application's defaults and user.
  std::function<std::unique_ptr<HLNetLineNodeManage>()> manager;
  std::function<long long()> vpnStatus;            // app().vpn().status()
  TsUserController* user = nullptr;                // app().user()
  gelmora::ui::ScreenRegistry* screens = nullptr;  // ScreenRegistry::shared()
};

class HLChooseLineVC : public QWidget {
  Q_OBJECT
 public:
  using Dependencies = HLChooseLineDependencies;
  explicit HLChooseLineVC(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~HLChooseLineVC() override;

  void refreshData();
  void updateArea();
  void areabuttonClick();
  void showUpgradeViewWithPackageName(const std::string& packageName);
  void showTopUpWebWindow();
  // A click on row `row` of the node table.
  void selectRow(int row);
  void reloadTable();

  HLNetLineNodeManage& nodesManage() const { return *manage_; }
  QListWidget* tableView() const { return table_; }
  QLabel* titleTF() const { return titleTF_; }
  QLabel* arrowImageView() const { return arrow_; }
  QLabel* windowTitleTF() const { return windowTitleTF_; }
  QLabel* changeLineTF() const { return changeLineTF_; }
  QPushButton* areaButton() const { return areaButton_; }
  HLChooseLineAreaView* areaView() const { return areaView_; }
  HLImageAlertView* lineAlerView() const { return lineAlerView_; }
  // The upgrade prompt shown last (none once it was answered).
  HLImageAlertView* upgradeView() const { return upgradeView_; }
  // The arrow image's name, as shown.
  const char* arrowName() const { return arrowName_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void setArrow(const char* name);
  void applyNode(const HLNetLineNodeEntityPtr& node);
  TsUserController& user() const;

  Dependencies deps_;
  std::unique_ptr<HLNetLineNodeManage> manage_;
  QLabel* windowTitleTF_;
  QLabel* changeLineTF_;
  QLabel* titleTF_;
  QLabel* arrow_;
  QPushButton* areaButton_;
  QListWidget* table_;
  HLChooseLineAreaView* areaView_;
  HLImageAlertView* lineAlerView_;
  QPointer<HLImageAlertView> upgradeView_;
  HLNetLineNodeEntityPtr pendingNode_;
  const char* arrowName_ = "ic_line_arrow_left";
};
