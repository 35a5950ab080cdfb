#pragma once
// A picture that moves its window when dragged: a press asks the window manager to move the
// window; where none takes the request (no window manager), the window follows the drag itself.
#include <QLabel>
#include <QPixmap>
#include <optional>

class TsDragableImageView : public QLabel {
  Q_OBJECT
 public:
  explicit TsDragableImageView(QWidget* parent = nullptr);
  // Shown scaled proportionally to fit.
  void setImage(const QPixmap& image);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void refresh();
  QPixmap image_;
  // Offset of the press from the window's origin while the window follows by hand.
  std::optional<QPoint> dragOffset_;
};
