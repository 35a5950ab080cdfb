#pragma once
// One running copy per user. The first copy holds a lock file and listens on a local socket in
// the user's runtime folder (only the user may connect); a later copy finds the lock taken,
// sends "activate" to the first and ends. A lock left by a copy that died is taken over.
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace gelmora::app {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxMessage = 64;
  static constexpr const char* kActivate = "activate";

  // `folder` empty: $XDG_RUNTIME_DIR (Qt's runtime location).
  explicit SingleInstance(QString folder = {}, QString name = "cn.gelmoras.Gelmoras2",
                          QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is now the one copy. False when another copy holds the lock; it has
  // been asked to come to the front (as far as it answered within a few seconds).
  bool claim();

  QString lockPath() const;
  QString socketPath() const;

 Q_SIGNALS:
  // Another copy was started.
  void activateRequested();

 private:
  void accept();
  bool sendActivate();

  QString folder_;
  QString name_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};

}  // namespace gelmora::app
