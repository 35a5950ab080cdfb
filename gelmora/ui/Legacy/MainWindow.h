#pragma once
// The older main window: account panel, start and stop of acceleration through the older service
// layer (LegacyStartSequence), its own heartbeat (LegacyHeartbeat), the service's pop-ups, the
// five web windows and the operations the older web pages call. Views change on the main thread;
// every blocking call runs on a worker. Outlets are children named as the layout names them.
#include <QBoxLayout>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QWidget>
#include <memory>
#include <optional>

#include "gelmora/Legacy/LegacyHeartbeat.h"
#include "gelmora/Legacy/LegacyMainState.h"
#include "gelmora/Legacy/LegacyPageCommands.h"
#include "gelmora/Legacy/LegacyPageQuery.h"
#include "gelmora/Legacy/LegacyStartSequence.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/LegacyContext.h"

namespace gelmora::ui {

class MainWindow : public QWidget, public LegacyMainView, public LegacyMainPort {
  Q_OBJECT
 public:
  static constexpr const char* kPictures[5] = {"work.png", "live.png", "music.png", "game.png",
                                               "video.png"};

  explicit MainWindow(const LegacyContext& context = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The main window that loaded last; none before the first. Never cleared.
  static MainWindow* Main();

  const LegacyMainState& state() const { return state_; }
  LegacyMainState& mutableState() { return state_; }
  LegacyStartSequence& startSequence() { return *start_; }
  LegacyHeartbeat& heartbeat() { return *heartbeat_; }
  QString currentTab() const;
  QString currentPicture() const { return picture_; }
  QWidget* loginWindow() const { return loginWindow_.get(); }
  QWidget* flowDetailWindow() const;

  // Actions of the layout.
  void OnLeftSpeedClick();
  void OnLeftMineClick();
  void OnLeftRechargeClick();
  void OnLeftShareClick();
  void OnFlowDetailClick();
  void OnBackLoginClick();
  void OnStartspeedClick();
  // With a sender (the stop control) the report's pop-up is shown; by code it is not.
  void OnStopSpeedClick(bool withSender = false);
  void OnShareClick();
  void OnRechargeClick();
  void OnQuestionClick();
  void OnFeedbackClick();
  void OnMyOrderClick();

  // The account panel from a reply with "data".
  void updatePacketContent(const nlohmann::json& reply);
  // The reply's pop-up (any thread; shown on the main queue).
  void ShowMessageBoxOfPublic(const std::optional<nlohmann::json>& reply);
  void ShowLoginWindow();

  // LegacyMainPort (page commands; any thread).
  void showWebWindow(const std::string& token) override;
  void showWebDialog(const std::string& text) override;
  void switchSpeedView() override;
  void setClipboard(const std::string& text) override;
  void rechargeDone() override;

  // LegacyMainView (main queue).
  void showAlert(const std::string& message, const std::string& info,
                 std::function<void()> closed) override;
  void setStartControl(bool starting) override;
  void setProgressText(const std::string& text) override;
  void showSpeedTab() override;
  void setSpeedTexts(const std::string& up, const std::string& down, const std::string& upTotal,
                     const std::string& downTotal) override;
  void applyReply(const nlohmann::json& reply) override;
  void showPopup(const std::optional<nlohmann::json>& reply) override;

  // The quit path: sign-out (and the stop report when one runs), then exit 0 once both ended,
  // at most 3 s later.
  void quit(bool stopFirst);
  static constexpr std::chrono::seconds kQuitLimit{3};

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* label(const char* name, const QString& text, QWidget* parent);
  QFrame* box(const char* name, QWidget* parent);
  void build();
  void highlight(const char* box);
  void showPicture(int index);
  void openWeb(LegacyPageQuery::Window w, std::unique_ptr<WebWindowHandle>& slot);
  void logoutAction(std::function<void()> done);
  void postMain(std::function<void()> task);

  LegacyContext ctx_;
  LegacyMainState state_;
  std::unique_ptr<LegacyStartSequence> start_;
  std::unique_ptr<LegacyHeartbeat> heartbeat_;
  std::shared_ptr<platform::dispatch::SerialQueue> signOut_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  platform::dispatch::Timer pictureTimer_;
  platform::dispatch::Timer quitLimit_;
  int indexLoadImage_ = 1;
  QString picture_;
  bool quitting_ = false;

  QStackedWidget* tabs_ = nullptr;
  std::unique_ptr<QWidget> loginWindow_;
  std::unique_ptr<QWidget> flowDetailAWindow_;
  std::unique_ptr<QWidget> flowDetailBWindow_;
  std::unique_ptr<WebWindowHandle> shareWindow_, rechargeWindow_, questionWindow_, feedbackWindow_,
      myOrderWindow_;
};

}  // namespace gelmora::ui
