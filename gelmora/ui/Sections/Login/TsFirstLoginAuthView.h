#pragma once
// The panel of a sign-in from a new device: a picture that drags the window, and on white the
// new-device notice, the phone the code went to, the seconds until a new code may be asked for
// (or the button for one), the code field and the login button. It sends nothing: its owner
// wires the close, code and login buttons, sets the phone and feeds the count-down.
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <optional>
#include <string>

#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsHyperlinkTextField.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Sections/Login/TsDragableImageView.h"

class UrlOpener;

class TsFirstLoginAuthView : public QWidget {
  Q_OBJECT
 public:
  // `webDomain`: host of the registration link (none: the brand's); `opener`: none is the
  // application's.
  explicit TsFirstLoginAuthView(QWidget* parent = nullptr,
                                std::optional<std::string> webDomain = std::nullopt,
                                UrlOpener* opener = nullptr);

  TsDragableImageView* adView() const { return adView_; }
  QLabel* logoView() const { return logoView_; }
  QPushButton* closeButton() const { return closeButton_; }
  QWidget* formView() const { return formView_; }
  QWidget* centerView() const { return centerView_; }
  QLabel* welcomeTitleLabel() const { return welcomeTitleLabel_; }
  QLabel* noAccountLabel() const { return noAccountLabel_; }
  TsHyperlinkTextField* registerButton() const { return registerButton_; }
  QWidget* topLineView() const { return topLineView_; }
  QLabel* subTitle1() const { return subTitle1_; }
  QLabel* subTitle2() const { return subTitle2_; }
  QLabel* subTitle3() const { return subTitle3_; }
  QLabel* secondsLabel() const { return secondsLabel_; }
  TsFlatButton* codeButton() const { return codeButton_; }
  TsLoginTextField* codeField() const { return codeField_; }
  TsFlatButton* loginButton() const { return loginButton_; }

  const QString& phoneNumber() const { return phoneNumber_; }
  // The verification title: "验证手机号", one blank and the number.
  void setPhoneNumber(const QString& phone);
  // n > 0: the waiting line with "ns"; n <= 0: the button for a new code instead.
  void updateLastSecond(long n);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  TsDragableImageView* adView_;
  QLabel* logoView_;
  QPushButton* closeButton_;
  QWidget *formView_, *centerView_;
  QLabel *welcomeTitleLabel_, *noAccountLabel_;
  TsHyperlinkTextField* registerButton_;
  QWidget* topLineView_;
  QLabel *subTitle1_, *subTitle2_, *subTitle3_, *secondsLabel_;
  TsFlatButton* codeButton_;
  TsLoginTextField* codeField_;
  TsFlatButton* loginButton_;
  QString phoneNumber_;
};
