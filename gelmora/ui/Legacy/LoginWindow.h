#pragma once
// The older login window: country code, phone and SMS code (form 1), plus a picture code made up
// by the window itself from the third successful code request of a run on (form 2, page
// "boxVerification"). The code request and the sign-in run on a worker; the control is disabled
// meanwhile. A successful sign-in stores the reply and opens the older main window.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QWidget>
#include <atomic>
#include <memory>

#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"
#include "ui/Legacy/LegacyContext.h"

namespace gelmora::ui {

class LoginWindow : public QWidget {
  Q_OBJECT
 public:
  explicit LoginWindow(const LegacyContext& context = {}, QWidget* parent = nullptr);
  ~LoginWindow() override;

  // Successful code requests in this run (all login windows).
  static int getVerificationTimes();
  static void resetVerificationTimes();  // tests

  int loginType() const { return loginType_; }
  QString pictureCode() const;
  QWidget* mainWindow() const { return mainWin_.get(); }
  bool countdownRunning() const;

  void OnGetVerificationClick();
  void OnLoginClick();
  void clickChangeVerification() { changeVerification(); }
  void ButtonLoginClick();

 private:
  // The controls of one form, by role.
  struct Form {
    QLineEdit* countryCode;
    QLineEdit* phone;
    QLineEdit* verification;
    QLabel* login;
    QPushButton* loginButton;
    QLabel* countdown;
    QWidget* normalBox;
    QWidget* disableBox;
    QPushButton* codeButton;
  };
  Form& form() { return loginType_ == 2 ? form2_ : form1_; }
  QWidget* buildForm(Form& f, bool withPicture);
  void changeLoginType();
  void changeVerification();
  void tick();
  void stopVerificationTimer();
  void alert(const QString& message, const QString& info, std::function<void()> closed = {});
  void LoginAction(std::string phone, std::string countryCode, std::string code);
  void ShowMainWindow();

  LegacyContext ctx_;
  int loginType_ = 1;
  int lastTimeOfGetVerification_ = 0;
  Form form1_{};
  Form form2_{};
  QStackedWidget* tabs_ = nullptr;
  QLineEdit* pictureEntry_ = nullptr;
  QPushButton* pictureButton_ = nullptr;
  platform::dispatch::Timer phoneVerificationTimer_;
  std::unique_ptr<QWidget> mainWin_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::shared_ptr<platform::dispatch::SerialQueue> worker_;
};

}  // namespace gelmora::ui
