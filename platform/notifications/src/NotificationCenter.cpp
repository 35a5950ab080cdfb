#include "platform/notifications/NotificationCenter.h"

#include <algorithm>

namespace platform::notifications {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

void NotificationCenter::retire(std::unique_lock<std::mutex>& lock, std::vector<EntryPtr> gone) {
  for (auto& e : gone) e->removed = true;
  const auto self = std::this_thread::get_id();
  // Wait until no other thread is inside a removed handler; a call on this thread (removal from
  // inside the handler) cannot be waited for.
  idle_.wait(lock, [&] {
    return std::all_of(gone.begin(), gone.end(), [&](const EntryPtr& e) {
      return std::all_of(e->running.begin(), e->running.end(),
                         [&](std::thread::id t) { return t == self; });
    });
  });
  lock.unlock();
  gone.clear();  // handlers and what they captured are released outside the lock
  lock.lock();
}

std::vector<NotificationCenter::EntryPtr> NotificationCenter::unlink(Owner owner,
                                                                     EntryMap::iterator from,
                                                                     EntryMap::iterator to) {
  std::vector<EntryPtr> gone;
  for (auto it = from; it != to;) {
    if (it->second->owner == owner) {
      gone.push_back(it->second);
      it = byName_.erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

void NotificationCenter::addObserver(Owner owner, std::string_view name, Handler handler) {
  std::unique_lock lock(mu_);
  auto [b, e] = byName_.equal_range(name);
  std::vector<EntryPtr> gone = unlink(owner, b, e);
  auto entry = std::make_shared<Entry>();
  entry->owner = owner;
  entry->name = std::string(name);
  entry->handler = std::move(handler);
  entry->order = nextOrder_++;
  byName_.emplace(entry->name, entry);
  if (!gone.empty()) retire(lock, std::move(gone));
}

void NotificationCenter::removeObserver(Owner owner, std::string_view name) {
  std::unique_lock lock(mu_);
  auto [b, e] = byName_.equal_range(name);
  std::vector<EntryPtr> gone = unlink(owner, b, e);
  retire(lock, std::move(gone));
}

void NotificationCenter::removeObserver(Owner owner) {
  std::unique_lock lock(mu_);
  std::vector<EntryPtr> gone = unlink(owner, byName_.begin(), byName_.end());
  retire(lock, std::move(gone));
}

Observation NotificationCenter::observe(std::string_view name, Handler handler) {
  Owner token;
  {
    std::lock_guard lock(mu_);
    // Odd values are never addresses of real objects, so tokens cannot clash with owners.
    token = reinterpret_cast<Owner>(static_cast<uintptr_t>(nextTokenOwner_++ * 2 + 1));
  }
  addObserver(token, name, std::move(handler));
  return Observation(this, token);
}

void NotificationCenter::post(std::string_view name, std::any object) {
  const Notification note{std::string(name), std::move(object)};
  std::vector<EntryPtr> targets;
  {
    std::lock_guard lock(mu_);
    auto [b, e] = byName_.equal_range(name);
    for (auto it = b; it != e; ++it) targets.push_back(it->second);
  }
  std::sort(targets.begin(), targets.end(),
            [](const EntryPtr& a, const EntryPtr& b) { return a->order < b->order; });
  const auto self = std::this_thread::get_id();
  for (auto& entry : targets) {
    {
      std::lock_guard lock(mu_);
      if (entry->removed) continue;  // removed by an earlier observer of this post
      entry->running.push_back(self);
    }
    entry->handler(note);
    {
      std::lock_guard lock(mu_);
      auto it = std::find(entry->running.begin(), entry->running.end(), self);
      if (it != entry->running.end()) entry->running.erase(it);
    }
    idle_.notify_all();
  }
}

size_t NotificationCenter::observerCount(std::string_view name) const {
  std::lock_guard lock(mu_);
  return byName_.count(name);
}

Observation::Observation(Observation&& other) noexcept
    : center_(other.center_), owner_(other.owner_) {
  other.center_ = nullptr;
}

Observation& Observation::operator=(Observation&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = other.center_;
    owner_ = other.owner_;
    other.center_ = nullptr;
  }
  return *this;
}

void Observation::reset() {
  if (!center_) return;
  auto* c = center_;
  center_ = nullptr;
  c->removeObserver(owner_);
}

}  // namespace platform::notifications
