#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "gelmora/Core/Log.h"

namespace gelmora::app {

namespace {
// How long a later copy keeps trying to reach the first, which may still be setting up.
constexpr int kReachMs = 5000;
// A connection that says nothing is closed after this.
constexpr int kIdleMs = 2000;
}  // namespace

SingleInstance::SingleInstance(QString folder, QString name, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), name_(std::move(name)) {
  if (folder_.isEmpty())
    folder_ = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lock_) lock_->unlock();
}

QString SingleInstance::lockPath() const { return QDir(folder_).filePath(name_ + ".lock"); }
QString SingleInstance::socketPath() const { return QDir(folder_).filePath(name_ + ".socket"); }

bool SingleInstance::claim() {
  QDir().mkpath(folder_);
  lock_ = std::make_unique<QLockFile>(lockPath());
  // Only a dead owner makes a lock stale, never its age.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) {
    if (lock_->error() != QLockFile::LockFailedError) {
      // No lock can be had at all (folder not writable): run rather than refuse to start.
      gelmora::logLine("single instance: lock file " + lockPath().toStdString() +
                       " cannot be created; running without the check");
      return true;
    }
    lock_.reset();
    if (!sendActivate()) gelmora::logLine("single instance: the running copy did not answer");
    return false;
  }
  // The socket of a copy that died is ours to replace: we hold the lock.
  QLocalServer::removeServer(socketPath());
  if (!server_.listen(socketPath()))
    gelmora::logLine("single instance: cannot listen on " + socketPath().toStdString() + ": " +
                     server_.errorString().toStdString());
  return true;
}

bool SingleInstance::sendActivate() {
  QDeadlineTimer deadline(kReachMs);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(
            static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)))) {
      socket.write(QByteArray(kActivate) + '\n');
      bool sent = socket.waitForBytesWritten(1000);
      socket.disconnectFromServer();
      if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(1000);
      return sent;
    }
    // The first copy holds the lock but may not listen yet.
    QThread::msleep(20);
  }
  return false;
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    auto buffer = std::make_shared<QByteArray>();
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    connect(idle, &QTimer::timeout, socket, &QLocalSocket::abort);
    idle->start(kIdleMs);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
      // Never more than one message's worth is held: anything longer is dropped with its sender.
      buffer->append(socket->read(kMaxMessage + 1 - buffer->size()));
      int end = buffer->indexOf('\n');
      if (end < 0) {
        if (buffer->size() > kMaxMessage) {
          socket->abort();
          socket->deleteLater();
        }
        return;
      }
      const QByteArray message = buffer->left(end);
      socket->abort();
      socket->deleteLater();
      if (message == kActivate) Q_EMIT activateRequested();
    });
  }
}

}  // namespace gelmora::app
