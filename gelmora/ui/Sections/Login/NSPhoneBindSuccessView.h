#pragma once
// The notice after a phone was bound: a success picture, "绑定成功", a three-line notice naming
// the phone to sign in with from now on, and the confirmation button. Confirm and skip report
// through their blocks; the owner hides the panel. Designed at 400×500.
#include <QLabel>
#include <QWidget>
#include <functional>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"

class TsUserController;

class NSPhoneBindSuccessView : public QWidget {
  Q_OBJECT
 public:
  // `user`: whose user name the notice starts with; none is app().user().
  explicit NSPhoneBindSuccessView(QWidget* parent = nullptr, TsUserController* user = nullptr);

  TsFlatButton* confirmButton() const { return confirmButton_; }
  // Built, not shown.
  DRFlatButton* skipButton() const { return skipButton_; }
  // The notice (tag 100).
  QLabel* noticeLabel() const { return notice_; }
  QLabel* titleLabel() const { return title_; }

  void setSkipBlock(std::function<void()> block) { skipBlock_ = std::move(block); }
  void setConfirmBlock(std::function<void()> block) { confirmBlock_ = std::move(block); }
  const QString& phone() const { return phone_; }
  // Stores the phone; a non-empty one rewrites the notice.
  void setPhone(const QString& phone);

  void confirm();
  void skipBind();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void initUI(TsUserController* user);
  void layoutParts();
  QLabel* picture_;
  QLabel* title_;
  QLabel* notice_;
  TsFlatButton* confirmButton_;
  DRFlatButton* skipButton_;
  std::function<void()> skipBlock_, confirmBlock_;
  QString phone_;
};
