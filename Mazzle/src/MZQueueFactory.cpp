#include "Mazzle/MZQueueFactory.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

struct Loop {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::thread thread;
  std::thread::id id;

  Loop() {
    thread = std::thread([this] { io.run(); });
    id = thread.get_id();
    // The loop lives for the whole process: its sockets may be read until exit.
    thread.detach();
  }
};

Loop& loop() {
  // Never destroyed, so a late read on the loop never meets a dead io_context.
  static Loop* instance = new Loop();
  return *instance;
}

}  // namespace

asio::io_context& MZQueueFactory::queue() { return loop().io; }

void MZQueueFactory::async(std::function<void()> work) { asio::post(loop().io, std::move(work)); }

bool MZQueueFactory::onQueue() { return std::this_thread::get_id() == loop().id; }

void MZQueueFactory::sync(const std::function<void()>& work) {
  if (onQueue()) {
    work();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  async([&] {
    work();
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}
