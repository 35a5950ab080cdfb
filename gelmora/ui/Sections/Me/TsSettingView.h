#pragma once
// The settings panel over the acceleration screen: launch at login, quitting when the window
// closes, and sign-out without a question. Hidden and shown by its owner; each showing re-reads
// both settings (reloadData).
#include <QCheckBox>
#include <QPushButton>
#include <QWidget>
#include <functional>

#include "ui/Kit/DRFlatButton.h"

class AppUserDefaults;
class TsUserController;

struct TsSettingDependencies {
  AppUserDefaults* defaults = nullptr;           // app().defaults()
  TsUserController* user = nullptr;              // app().user()
  std::function<bool(bool on)> enableLoginItem;  // TsLaunchAtLoginService::enableLoginItem
};

class TsSettingView : public QWidget {
  Q_OBJECT
 public:
  using Dependencies = TsSettingDependencies;
  explicit TsSettingView(Dependencies dependencies = {}, QWidget* parent = nullptr);

  // A button that paints the state it is given and never flips it on a click.
  DRFlatButton* startSettingBtn;
  QCheckBox* closeSettingBtn;
  QPushButton* logoutBtn;
  QPushButton* closeButton;

 public Q_SLOTS:
  void reloadData();
  void closeSetting();
  void startSetting();
  void logou();
  void close();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  AppUserDefaults& defaults() const;
  Dependencies deps_;
};
