#include "ui/Kit/TsWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace {
constexpr int kWidth = 950;
constexpr int kHeight = 600;
}  // namespace

TsWindow::TsWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setFixedSize(kWidth, kHeight);
  setGeometry(centerFrame());
}

QRect TsWindow::centerFrame() {
  QSize screen(kWidth, kHeight);
  if (QScreen* s = QGuiApplication::primaryScreen()) screen = s->size();
  return {screen.width() / 2 - kWidth / 2, screen.height() / 2 - kHeight / 2, kWidth, kHeight};
}

void TsWindow::setContentView(QWidget* view) {
  if (content_ == view) return;
  delete content_.data();
  content_ = view;
  if (view) {
    view->setParent(this);
    view->setGeometry(rect());
    view->show();
  }
}

void TsWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (content_) content_->setGeometry(rect());
}

void TsWindow::closeEvent(QCloseEvent* event) {
  // Not released when closed: hidden, to be shown again from the tray.
  event->ignore();
  hide();
}
