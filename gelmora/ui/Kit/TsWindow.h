#pragma once
// The application's main window: 950 by 600, centred on the screen, titled and closable.
// Closing it only hides it; the same window shows again later.
#include <QPointer>
#include <QRect>
#include <QWidget>

class TsWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TsWindow(QWidget* parent = nullptr);
  // 950 by 600, centred on the primary screen's size (its origin is not used).
  static QRect centerFrame();
  // The window's content, filling it (the window takes ownership; an earlier one is deleted).
  void setContentView(QWidget* view);
  QWidget* contentView() const { return content_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QPointer<QWidget> content_;
};
