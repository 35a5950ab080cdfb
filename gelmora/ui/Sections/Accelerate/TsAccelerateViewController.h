#pragma once
// The acceleration screen, first item of the main window's menu: switches acceleration on and
// off, moves the view through its looks, shows the chosen line and the remaining traffic, opens
// the line choice, the recommendation and end-of-acceleration pages, and serves the top buttons.
// Collaborators come at construction; each one left empty is the application's.
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ui/Application/ScreenRegistry.h"
#include "ui/Sections/Accelerate/TsAccelerateView.h"

class AccelerationController;
class AlertSheetPresenter;
class AppUserDefaults;
class Clipboard;
class HLNetLineNodeManage;
class TsUserController;
class UrlOpener;

struct TsAccelerateDependencies {
  AccelerationController* vpn = nullptr;  // app().vpn()
  TsUserController* user = nullptr;       // app().user()
  AppUserDefaults* defaults = nullptr;    // app().defaults()
  // "speed", "firstAccelerate", "acceleratePage"; empty: app().analytics().
  std::function<void(std::string_view event)> analytics;
  TsAccelerateFinishView::GeoLookup geo;           // TsfetchIPService::fetchPublicIP
  AlertSheetPresenter* alerts = nullptr;           // gelmora::ui::showAlertWithTitle
  Clipboard* clipboard = nullptr;                  // gelmora::ui::clipboard()
  UrlOpener* urlOpener = nullptr;                  // gelmora::ui::urlOpener()
  gelmora::ui::ScreenRegistry* screens = nullptr;  // ScreenRegistry::shared()
  TsAccelerateTopView::Dependencies strip;
  // The manager of the first line fetch; empty: one over `defaults` and `user`.
  std::function<std::unique_ptr<HLNetLineNodeManage>()> lineManager;
  // The content of a new line-choice window; empty: a new HLChooseLineVC.
  std::function<QWidget*()> lineChoice;
  // The customer-service page; empty: the brand's SupportChatURL.
  std::function<std::string()> supportChatURL;
};

class TsAccelerateViewController : public QWidget {
  Q_OBJECT
 public:
  using Dependencies = TsAccelerateDependencies;
  explicit TsAccelerateViewController(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsAccelerateViewController() override;

  TsAccelerateView* specView() const { return view_; }
  QString title() const { return "Accelerate"; }

  void toggleState();
  void goButtonClicked() { toggleState(); }
  void goImageBtnClick();
  void vpnStateChanged(bool animated);
  void updateResetTraffic();
  void chooseLine();
  void closeChooseLineWC();
  void finsihAccelerating() { view_->changeState(TsAccelerateView::Accelerated, true); }
  void showRecommend();
  void showRecommendWithURL(const std::string& url);
  void showWebWindowWithTitle(const QString& titleKey, const std::string& url);
  void setClipboard(const std::string& text);
  // The settings panel, made on first use from the registry (none when it is not built).
  QWidget* settingView();
  static QString createLineAttrWithLineString(const std::optional<std::string>& name);
  static QString createLineAttrWithModeString(const std::optional<std::string>& name);
  void updateNetNodeIfNeeded();
  void topButtonClicked(int index);

  QWidget* chooseLineWindow() const { return chooseLineWC_; }
  gelmora::ui::WebWindowHandle* webWindow() const { return webWindow_.get(); }
  // Whether a start of this screen is waiting for its outcome.
  bool startRunning() const { return startRunning_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  AccelerationController& vpn() const;
  TsUserController& user() const;
  AppUserDefaults& defaults() const;
  gelmora::ui::ScreenRegistry& screens() const;
  void analytics(std::string_view event);
  void refreshLineLabel();

  Dependencies deps_;
  TsAccelerateView* view_;
  QPointer<QWidget> settingView_;
  QPointer<QWidget> chooseLineWC_;
  std::unique_ptr<gelmora::ui::WebWindowHandle> webWindow_;
  std::unique_ptr<HLNetLineNodeManage> firstLineManager_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool startRunning_ = false;
};

namespace gelmora::ui {
// Adds the acceleration screen to the registry.
void registerAccelerationScreen(ScreenRegistry& registry);
}  // namespace gelmora::ui
