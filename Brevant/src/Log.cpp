#include "Brevant/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace brevant {
namespace {
std::mutex g_log_mutex;
LogHandler& handler() {
  static LogHandler h;
  return h;
}
}  // namespace

void set_log_handler(LogHandler h) {
  std::lock_guard lock(g_log_mutex);
  handler() = std::move(h);
}

void log_message(LogLevel level, std::string_view text) {
  LogHandler h;
  {
    std::lock_guard lock(g_log_mutex);
    h = handler();
  }
  if (h) {
    h(level, text);
  } else if (level == LogLevel::Error) {
    std::fprintf(stderr, "brevant: %.*s\n", static_cast<int>(text.size()), text.data());
  }
}

}  // namespace brevant
