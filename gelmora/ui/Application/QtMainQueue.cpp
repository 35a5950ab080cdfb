#include "ui/Application/QtMainQueue.h"

#include <QCoreApplication>
#include <QThread>

namespace gelmora::ui {

QtMainQueue::QtMainQueue(std::string label) : label_(std::move(label)) {
  receiver_ = new QObject;
  thread_ = QThread::currentThreadId();
}

QtMainQueue::~QtMainQueue() { close(); }

void QtMainQueue::async(platform::dispatch::Task task) {
  std::lock_guard lock(mu_);
  if (!receiver_) return;
  // Queued calls to one receiver run in the order they were posted.
  QMetaObject::invokeMethod(
      receiver_,
      [this, t = std::move(task)] {
        CurrentGuard guard(this);
        t();
      },
      Qt::QueuedConnection);
}

bool QtMainQueue::isCurrent() const {
  std::lock_guard lock(mu_);
  return receiver_ && QThread::currentThreadId() == thread_;
}

void QtMainQueue::close() {
  QObject* r;
  {
    std::lock_guard lock(mu_);
    r = receiver_;
    receiver_ = nullptr;
  }
  // Deleting the receiver drops its pending calls; from another thread let its own loop do it.
  if (r) {
    if (QThread::currentThreadId() == thread_) {
      delete r;
    } else {
      r->deleteLater();
    }
  }
}

std::shared_ptr<QtMainQueue> installMainQueue() {
  auto queue = std::make_shared<QtMainQueue>();
  platform::dispatch::installMainQueue(queue);
  if (auto* app = QCoreApplication::instance()) {
    std::weak_ptr<QtMainQueue> weak = queue;
    QObject::connect(app, &QObject::destroyed, [weak] {
      if (auto q = weak.lock()) q->close();
    });
  }
  return queue;
}

}  // namespace gelmora::ui
