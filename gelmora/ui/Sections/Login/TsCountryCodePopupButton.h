#pragma once
// A dial-code pop-up stub that nothing creates: one entry "123 123", every title read "111".
#include <QComboBox>

class TsCountryCodePopupButton : public QComboBox {
  Q_OBJECT
 public:
  explicit TsCountryCodePopupButton(QWidget* parent = nullptr);
  QString itemTitleAtIndex(int index) const;
};
