#pragma once
// The verification-code input: an icon input with, at its right end, the code button and the
// voice-code button (hidden until a screen offers it). The field sends nothing itself: its screen
// binds each button to a command and its title to the count-down text.
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsLoginTextField.h"

class TsLoginCodeTF : public TsLoginTextField {
  Q_OBJECT
 public:
  TsLoginCodeTF(const QPixmap& icon, bool isSecure, QWidget* parent = nullptr);

  DRFlatButton* codeBtn() const { return codeBtn_; }
  DRFlatButton* voiceCodeBtn() const { return voiceCodeBtn_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void initUI();
  void layoutButtons();
  DRFlatButton* codeBtn_ = nullptr;
  DRFlatButton* voiceCodeBtn_ = nullptr;
};
