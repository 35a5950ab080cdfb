#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tq {

// One generated call as the registry knows it: enough to create the call by name and to tell
// which engine (base class) and path it goes to, so one test can walk every call.
template <class CallBase>
struct CallRegistration {
  std::string className;
  std::string path;
  std::string base;
  std::function<std::shared_ptr<CallBase>()> factory;
};

// Registry of generated calls, filled by static registrars of the generated sources.
// Kept free of the REST engine: the call type is a parameter.
template <class CallBase>
class CallRegistry {
 public:
  using Entry = CallRegistration<CallBase>;

  static CallRegistry& sharedInstance() {
    static CallRegistry registry;
    return registry;
  }

  // A second registration under a name already held replaces nothing: the first one stays.
  bool add(Entry entry) {
    std::lock_guard lock(mutex_);
    auto same = [&](const Entry& e) { return e.className == entry.className; };
    if (std::any_of(entries_.begin(), entries_.end(), same)) return false;
    entries_.push_back(std::move(entry));
    return true;
  }

  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

  std::vector<Entry> entriesWithBase(const std::string& base) const {
    std::lock_guard lock(mutex_);
    std::vector<Entry> out;
    for (const auto& e : entries_)
      if (e.base == base) out.push_back(e);
    return out;
  }

  std::optional<Entry> find(const std::string& className) const {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if (e.className == className) return e;
    return std::nullopt;
  }

  std::shared_ptr<CallBase> make(const std::string& className) const {
    auto e = find(className);
    return e && e->factory ? e->factory() : nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace tq
