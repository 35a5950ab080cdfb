#pragma once
// An alert laid over its parent widget: icon, title, a message of at most two lines and two
// buttons whose labels and actions the owner gives. The buttons only run their blocks; the
// owner decides whether to hide or remove the overlay.
#include <QLabel>
#include <QPixmap>
#include <QWidget>
#include <functional>

class DRFlatButton;

class HLImageAlertView : public QWidget {
  Q_OBJECT
 public:
  explicit HLImageAlertView(QWidget* parent = nullptr);

  void configure(const QString& title, const QString& message, const QPixmap& image,
                 const QString& confirmTitle, const QString& cancelTitle,
                 std::function<void()> confirmBlock, std::function<void()> cancelBlock);
  // Centres the overlay in its parent (anew each time) and shows it.
  void show();
  void hide() { QWidget::hide(); }
  void close() { hide(); }
  void confirm();
  void cancel();

  QLabel* iconView() const { return iconView_; }
  QLabel* titleLabel() const { return titleLabel_; }
  QLabel* messageLabel() const { return messageLabel_; }
  DRFlatButton* confirmButton() const { return confirmButton_; }
  DRFlatButton* cancelButton() const { return cancelButton_; }

  // `text` cut to at most `lines` lines of `width` in `font`, the last one elided.
  static QString fitToLines(const QString& text, const QFont& font, int width, int lines);

 private:
  QLabel* iconView_;
  QLabel* titleLabel_;
  QLabel* messageLabel_;
  DRFlatButton* confirmButton_;
  DRFlatButton* cancelButton_;
  std::function<void()> confirmBlock_;
  std::function<void()> cancelBlock_;
};
