#pragma once
// Text fields of the dark forms: the insertion point turns white when the field takes the focus,
// so it shows on the dark background. TsSecureTextField hides what is typed.
#include <QColor>
#include <QLineEdit>

class TsTextField : public QLineEdit {
  Q_OBJECT
 public:
  explicit TsTextField(QWidget* parent = nullptr);
  // The colour the insertion point is drawn in.
  QColor insertionPointColor() const;

 protected:
  void focusInEvent(QFocusEvent* event) override;
};

class TsSecureTextField : public TsTextField {
  Q_OBJECT
 public:
  explicit TsSecureTextField(QWidget* parent = nullptr);
};
