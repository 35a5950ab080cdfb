#pragma once
// Main queue of the daemons: tasks posted onto an asio io_context. Header-only so that only the
// daemons need asio.
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <mutex>
#include <string>

#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

class AsioQueue : public Queue {
 public:
  explicit AsioQueue(asio::io_context& io, std::string label = "main")
      : io_(&io), label_(std::move(label)) {}

  // Tasks posted from another thread (a transfer finishing, a timer) may arrive after the
  // io_context is gone; the host closes the queue before that, and later tasks are dropped.
  void async(Task task) override {
    std::lock_guard lock(mu_);
    if (!io_) return;
    asio::post(*io_, [this, t = std::move(task)] {
      CurrentGuard guard(this);
      t();
    });
  }
  bool isCurrent() const override {
    std::lock_guard lock(mu_);
    return io_ && io_->get_executor().running_in_this_thread();
  }
  std::string label() const override { return label_; }

  void close() {
    std::lock_guard lock(mu_);
    io_ = nullptr;
  }

 private:
  mutable std::mutex mu_;
  asio::io_context* io_;
  std::string label_;
};

}  // namespace platform::dispatch
