#include "ui/Kit/Images.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QPixmapCache>

#include "gelmora/Core/Log.h"

namespace gelmora::ui::Images {

namespace {
QString pathOf(std::string_view name) {
  return QStringLiteral(":/images/%1.png").arg(QString::fromUtf8(name.data(), name.size()));
}
}  // namespace

QPixmap named(std::string_view name) {
  const QString path = pathOf(name);
  QPixmap pixmap;
  if (QPixmapCache::find(path, &pixmap)) return pixmap;
  if (name.empty() || !pixmap.load(path)) {
    gelmora::logLine("image missing: " + std::string(name));
    return {};
  }
  QPixmapCache::insert(path, pixmap);
  return pixmap;
}

QIcon icon(std::string_view name) {
  const QPixmap pixmap = named(name);
  return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

bool exists(std::string_view name) { return !name.empty() && QFile::exists(pathOf(name)); }

QStringList names() {
  QStringList out;
  for (const QString& file : QDir(QStringLiteral(":/images")).entryList(QDir::Files)) {
    if (file.endsWith(QLatin1String(".png"))) out << file.chopped(4);
  }
  return out;
}

}  // namespace gelmora::ui::Images
