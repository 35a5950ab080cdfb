#pragma once
// A push button of the older windows that shows its border only while the pointer is over it.
// Tracking starts as if the pointer were inside, so the first leaving removes the border; while
// the application is not active, entering and leaving change nothing.
#include <QPushButton>

namespace gelmora::ui {

class BYOButton : public QPushButton {
  Q_OBJECT
 public:
  explicit BYOButton(const QString& text = {}, QWidget* parent = nullptr);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

}  // namespace gelmora::ui
