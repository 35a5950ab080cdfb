#pragma once
// The main queue of the application: tasks posted onto the Qt event loop of the GUI thread.
#include <QObject>
#include <QPointer>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Queue.h"

namespace gelmora::ui {

class QtMainQueue : public platform::dispatch::Queue {
 public:
  // Binds to the thread of the running QCoreApplication; create it on that thread.
  explicit QtMainQueue(std::string label = "main");
  ~QtMainQueue() override;

  // Safe from any thread; tasks posted once the application is gone are dropped.
  void async(platform::dispatch::Task task) override;
  bool isCurrent() const override;
  std::string label() const override { return label_; }

  // Stops accepting tasks; ones already posted and not run are dropped with the receiver.
  void close();

 private:
  std::string label_;
  mutable std::mutex mu_;
  QObject* receiver_ = nullptr;  // lives on the GUI thread, deleted by close()
  Qt::HANDLE thread_ = nullptr;
};

// Installs a QtMainQueue as the process's main queue. Call right after the QApplication is made
// and before anything asks for mainQueue() (which would otherwise install a pumped queue). The
// queue closes itself when the application object is destroyed.
std::shared_ptr<QtMainQueue> installMainQueue();

}  // namespace gelmora::ui
