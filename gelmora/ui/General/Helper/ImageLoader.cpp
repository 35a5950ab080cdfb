#include "ui/General/Helper/ImageLoader.h"

#include <QBuffer>
#include <QImageReader>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QUrl>

#include "gelmora/Core/Log.h"

namespace gelmora::ui {

ImageLoader& ImageLoader::shared() {
  static ImageLoader* loader =
      new ImageLoader(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/images");
  return *loader;
}

ImageLoader::ImageLoader(const QString& cacheDir, QObject* parent) : QObject(parent) {
  if (!cacheDir.isEmpty()) {
    auto* cache = new QNetworkDiskCache(&network_);
    cache->setCacheDirectory(cacheDir);
    cache->setMaximumCacheSize(32 * 1024 * 1024);
    network_.setCache(cache);
  }
  network_.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
  // A picture of kMaxSide squared in 32 bits fits; anything that decodes larger is refused.
  QImageReader::setAllocationLimit(64);
}

ImageLoader::~ImageLoader() = default;

bool ImageLoader::acceptable(const QString& url) {
  const QUrl u(url, QUrl::StrictMode);
  return u.isValid() && (u.scheme() == "http" || u.scheme() == "https") && !u.host().isEmpty();
}

void ImageLoader::setImage(QLabel* label, const QString& url) {
  QPointer<QLabel> target(label);
  load(url, label, [target](const QImage& image) {
    if (!target) return;
    const QSize size = target->size().isEmpty() ? image.size() : target->size();
    target->setPixmap(
        QPixmap::fromImage(image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
  });
}

void ImageLoader::load(const QString& url, QObject* context,
                       std::function<void(const QImage&)> done) {
  if (!acceptable(url)) {
    gelmora::logLine("image address refused: " + url.toStdString());
    return;
  }
  if (auto it = memory_.constFind(url); it != memory_.constEnd()) {
    if (context) done(*it);
    return;
  }
  auto& list = waiting_[url];
  list.push_back({QPointer<QObject>(context), std::move(done)});
  if (list.size() > 1) return;  // the request in flight serves this one too

  ++requests_;
  QNetworkRequest request{QUrl(url)};
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
  request.setTransferTimeout(15000);
  QNetworkReply* reply = network_.get(request);
  reply->setReadBufferSize(0);
  connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
    if (received > kMaxBytes || total > kMaxBytes) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply, url] { finished(reply, url); });
}

void ImageLoader::finished(QNetworkReply* reply, const QString& url) {
  reply->deleteLater();
  auto waiters = waiting_.take(url);
  if (reply->error() != QNetworkReply::NoError) {
    gelmora::logLine("image not loaded: " + url.toStdString() + ": " +
                     reply->errorString().toStdString());
    return;
  }
  const QByteArray bytes = reply->readAll();
  if (bytes.size() > kMaxBytes) return;
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  const QSize size = reader.size();
  if (!size.isValid() || size.width() > kMaxSide || size.height() > kMaxSide) {
    gelmora::logLine("image refused (not a picture or too large): " + url.toStdString());
    return;
  }
  QImage image = reader.read();
  if (image.isNull()) {
    gelmora::logLine("image unreadable: " + url.toStdString());
    return;
  }
  memory_.insert(url, image);
  for (auto& w : waiters) {
    if (w.context) w.done(image);
  }
}

}  // namespace gelmora::ui
