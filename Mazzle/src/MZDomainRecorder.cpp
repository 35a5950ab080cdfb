#include "Mazzle/MZDomainRecorder.h"

#include <mutex>

namespace {
std::mutex g_mutex;
std::shared_ptr<MZDomainRecorder> g_current;
}  // namespace

void MZDomainRecorder::setCurrentRecorder(std::shared_ptr<MZDomainRecorder> recorder) {
  std::lock_guard lock(g_mutex);
  g_current = std::move(recorder);
}

std::shared_ptr<MZDomainRecorder> MZDomainRecorder::currentRecorder() {
  std::lock_guard lock(g_mutex);
  if (!g_current) g_current = std::make_shared<MZDomainRecorder>();
  return g_current;
}
