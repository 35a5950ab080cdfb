#include "ui/Sections/Login/TsDragableImageView.h"

#include <QMouseEvent>
#include <QWindow>

TsDragableImageView::TsDragableImageView(QWidget* parent) : QLabel(parent) {
  setAlignment(Qt::AlignCenter);
}

void TsDragableImageView::setImage(const QPixmap& image) {
  image_ = image;
  refresh();
}

void TsDragableImageView::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  refresh();
}

void TsDragableImageView::refresh() {
  if (image_.isNull() || width() <= 0 || height() <= 0) return;
  setPixmap(image_.scaled(size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void TsDragableImageView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QLabel::mousePressEvent(event);
  QWidget* top = window();
  QWindow* handle = top ? top->windowHandle() : nullptr;
  if (handle && handle->startSystemMove()) {
    dragOffset_.reset();
  } else if (top) {
    dragOffset_ = event->globalPosition().toPoint() - top->frameGeometry().topLeft();
  }
  event->accept();
}

void TsDragableImageView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) return QLabel::mouseMoveEvent(event);
  window()->move(event->globalPosition().toPoint() - *dragOffset_);
  event->accept();
}

void TsDragableImageView::mouseReleaseEvent(QMouseEvent* event) {
  dragOffset_.reset();
  QLabel::mouseReleaseEvent(event);
}
