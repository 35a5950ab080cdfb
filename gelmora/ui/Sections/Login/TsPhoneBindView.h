#pragma once
// The panel on which a signed-in user binds a phone number: title, phone field with its dial
// code, code field with its SMS and voice buttons, bind button, and a skip link and a close button
// (both hidden until the owner shows them) that report through the skip block. The owner binds
// the fields and buttons to a phone view model and shows or hides the panel. Designed at 600×500.
#include <QPushButton>
#include <QWidget>
#include <functional>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"
#include "ui/Sections/Login/TsPhoneTextField.h"

class TsPhoneBindView : public QWidget {
  Q_OBJECT
 public:
  // `provider`: the dial-code list of the phone field; none is the shared one.
  explicit TsPhoneBindView(QWidget* parent = nullptr,
                           const TsCountryCodeProvider* provider = nullptr);

  TsPhoneTextField* phoneTextField() const { return phoneTextField_; }
  TsLoginCodeTF* codeTextField() const { return codeTextField_; }
  TsFlatButton* confirmButton() const { return confirmButton_; }
  DRFlatButton* skipButton() const { return skipButton_; }
  QPushButton* closeButton() const { return closeButton_; }
  QLabel* titleLabel() const { return titleLabel_; }

  void setSkipBlock(std::function<void()> block) { skipBlock_ = std::move(block); }
  const std::function<void()>& skipBlock() const { return skipBlock_; }
  // The action of the skip link and the close button: calls the skip block when one is set.
  void skipBind();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void initUI(const TsCountryCodeProvider* provider);
  void layoutParts();
  QLabel* titleLabel_;
  QWidget* rule_;
  TsPhoneTextField* phoneTextField_;
  TsLoginCodeTF* codeTextField_;
  TsFlatButton* confirmButton_;
  DRFlatButton* skipButton_;
  QPushButton* closeButton_;
  std::function<void()> skipBlock_;
};
