#include "ui/Application/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace gelmora::ui {

std::vector<std::string> QtClipboard::texts() {
  std::vector<std::string> out;
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  if (data && data->hasText()) out.push_back(data->text().toStdString());
  return out;
}

void QtClipboard::setText(const std::string& text) {
  QGuiApplication::clipboard()->setText(QString::fromStdString(text), QClipboard::Clipboard);
}

void QtClipboard::clear() { QGuiApplication::clipboard()->clear(QClipboard::Clipboard); }

}  // namespace gelmora::ui
