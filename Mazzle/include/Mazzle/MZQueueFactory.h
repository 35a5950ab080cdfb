#pragma once
// The kit's packet loop: one asio io_context run by one thread of its own. Socket reads,
// incoming tunnel packets and fragment reassembly all happen there.

// A standard header first: asio picks its allocator from libstdc++'s configuration, and every
// translation unit must pick the same one.
// clang-format off
#include <functional>
#include <asio/io_context.hpp>
// clang-format on

class MZQueueFactory {
 public:
  MZQueueFactory() = delete;

  // The loop; its thread starts on the first call and runs for the rest of the process.
  static asio::io_context& queue();
  // Runs work later on the loop. Safe from any thread.
  static void async(std::function<void()> work);
  // Runs work on the loop and waits for it; inline when already on the loop.
  static void sync(const std::function<void()>& work);
  // True on the loop's thread.
  static bool onQueue();
};
