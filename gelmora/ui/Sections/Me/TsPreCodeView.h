#pragma once
// The current-phone check of the profile editor: a code goes to the phone number the profile
// holds (by text message or voice call), the user types it, and the next button verifies it
// (type "MODIFY_PHONE") or unbinds the phone ("UNBIND_PHONE"). The view owns its phone view
// model, always pointed at the signed-in user's present number; the editor also unlinks outside
// accounts through it.
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"
#include "ui/Sections/Login/TsLoginViewModel.h"

class TsUserController;

class TsPreCodeView : public QWidget {
  Q_OBJECT
 public:
  // `user`: whose number the codes go to (none: app().user()); `updateLinkedSNSInfo`: the
  // bound-accounts refresh of the model (none: app().bind()).
  explicit TsPreCodeView(TsUserController* user = nullptr,
                         std::function<void()> updateLinkedSNSInfo = {}, QWidget* parent = nullptr);
  ~TsPreCodeView() override;

  TsFlatButton* nextButton() const { return nextButton_; }
  TsLoginCodeTF* codeTF() const { return codeTF_; }
  gelmora::ui::TsLoginViewModel& model() const { return *model_; }
  const std::string& type() const { return type_; }
  QLabel* titleTF() const { return titleTF_; }
  QLabel* topTF() const { return topTF_; }
  QPushButton* closeButton() const { return closeButton_; }

  // Stores the type and points the buttons at fresh commands for it; an empty type changes
  // nothing else.
  void setType(const std::string& type);
  // Sets the model's number and dial code from the profile again.
  void refreshModel();
  // Runs the code button's present command once.
  void sendCode();

 public Q_SLOTS:
  void close();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void initUI();
  void initModel();

  TsUserController* user_;
  std::shared_ptr<gelmora::ui::TsLoginViewModel> model_;
  std::string type_;
  TsFlatButton* nextButton_ = nullptr;
  TsLoginCodeTF* codeTF_ = nullptr;
  QLabel* titleTF_ = nullptr;
  QLabel* topTF_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  // Holders of the buttons' present commands; replacing one ends the old binding.
  QPointer<QObject> codeBinding_, voiceBinding_, nextBinding_;
  std::function<void()> runCode_;
};
