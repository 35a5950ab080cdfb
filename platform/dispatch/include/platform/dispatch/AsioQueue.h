#pragma once
// Main queue of the daemons: tasks posted onto an asio io_context. Header-only so that only the
// daemons need asio.
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

class AsioQueue : public Queue {
 public:
  explicit AsioQueue(asio::io_context& io, std::string label = "main")
      : io_(io), label_(std::move(label)) {}

  void async(Task task) override {
    asio::post(io_, [this, t = std::move(task)] {
      CurrentGuard guard(this);
      t();
    });
  }
  bool isCurrent() const override { return io_.get_executor().running_in_this_thread(); }
  std::string label() const override { return label_; }

 private:
  asio::io_context& io_;
  std::string label_;
};

}  // namespace platform::dispatch
