#pragma once
// Pictures from the web for labels: http/https addresses only, answers capped in size, decoded
// with a pixel budget, cached on disk and in memory. Requests for the same address in flight are
// shared. A failure leaves the label as it was; a label deleted first is never touched.
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QNetworkReply;

namespace gelmora::ui {

class ImageLoader : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kMaxBytes = 4 * 1024 * 1024;
  static constexpr int kMaxSide = 4096;

  // The application's loader, caching under the cache folder.
  static ImageLoader& shared();
  // A loader caching in `cacheDir` (empty: memory only).
  explicit ImageLoader(const QString& cacheDir = {}, QObject* parent = nullptr);
  ~ImageLoader() override;

  // Shows the picture at `url` on `label` (scaled to it) once it arrives.
  void setImage(QLabel* label, const QString& url);
  // Calls `done` with the picture, on success only and only while `context` lives.
  void load(const QString& url, QObject* context, std::function<void(const QImage&)> done);

  // Whether an address may be fetched: http or https with a host.
  static bool acceptable(const QString& url);
  // Requests sent so far (memory hits and shared requests send none).
  int requestCount() const { return requests_; }

 private:
  struct Waiter {
    QPointer<QObject> context;
    std::function<void(const QImage&)> done;
  };
  void finished(QNetworkReply* reply, const QString& url);

  QNetworkAccessManager network_;
  QHash<QString, QImage> memory_;
  QHash<QString, std::vector<Waiter>> waiting_;
  int requests_ = 0;
};

}  // namespace gelmora::ui
