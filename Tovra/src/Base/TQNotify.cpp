#include "TQNotify.h"

#include <mutex>
#include <vector>

namespace tq::detail {

namespace {
struct Entry {
  std::string name;
  std::weak_ptr<std::function<void()>> handler;
};
std::mutex gMutex;
std::vector<Entry> gEntries;
}  // namespace

void postNotification(const std::string& name) {
  std::vector<std::shared_ptr<std::function<void()>>> toRun;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    for (auto& e : gEntries) {
      if (e.name != name) continue;
      if (auto h = e.handler.lock()) toRun.push_back(h);
    }
  }
  for (auto& h : toRun) (*h)();
}

std::shared_ptr<void> observeNotification(const std::string& name,
                                          std::function<void()> handler) {
  auto h = std::make_shared<std::function<void()>>(std::move(handler));
  std::lock_guard<std::mutex> lock(gMutex);
  std::erase_if(gEntries, [](const Entry& e) { return e.handler.expired(); });
  gEntries.push_back(Entry{name, h});
  return h;
}

}  // namespace tq::detail
