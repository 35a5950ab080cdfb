#include "gelmora/Core/Log.h"

#include <cstdio>
#include <mutex>

namespace gelmora {

namespace {
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}
}  // namespace

void logLine(std::string_view line) {
  std::lock_guard lock(sinkMutex());
  if (sink()) {
    sink()(std::string(line));
  } else {
    std::fprintf(stderr, "gelmora: %.*s\n", static_cast<int>(line.size()), line.data());
  }
}

void setLogSink(std::function<void(const std::string&)> s) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(s);
}

}  // namespace gelmora
