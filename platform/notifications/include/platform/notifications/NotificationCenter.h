#pragma once
// The default notification centre: observers keyed by an owner and a notification name, called
// synchronously on the posting thread.
#include <any>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Defines a notification name constant whose text is its own name.
#define PLATFORM_NOTIFICATION_NAME(Name) inline constexpr std::string_view Name = #Name

namespace platform::notifications {

struct Notification {
  std::string name;
  std::any object;  // the sender or payload; empty for "no object"
};

using Handler = std::function<void(const Notification&)>;
// Identifies an observer; usually the observing object's address.
using Owner = const void*;

class Observation;

class NotificationCenter {
 public:
  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide centre.
  static NotificationCenter& defaultCenter();

  // Makes `handler` the owner's one observation of `name`: an earlier one of the same owner and
  // name is removed first, so observing twice still calls once per post.
  void addObserver(Owner owner, std::string_view name, Handler handler);
  // Removes the owner's observation of `name`. When this returns, the handler is not running on
  // another thread and is never entered again (a call on this very thread may still be unwinding).
  void removeObserver(Owner owner, std::string_view name);
  // Removes every observation of the owner, with the same guarantee.
  void removeObserver(Owner owner);
  // Observes `name` until the returned token is destroyed or reset.
  [[nodiscard]] Observation observe(std::string_view name, Handler handler);

  // Calls every observer of `name`, in the order they were added, on this thread, before
  // returning. Safe from any thread; observers may post, add and remove from inside.
  void post(std::string_view name, std::any object = {});
  // How many observations `name` has (for tests and diagnostics).
  size_t observerCount(std::string_view name) const;

 private:
  struct Entry {
    Owner owner;
    std::string name;
    Handler handler;
    uint64_t order;
    bool removed = false;
    std::vector<std::thread::id> running;  // threads inside the handler now
  };
  using EntryPtr = std::shared_ptr<Entry>;

  using EntryMap = std::multimap<std::string, EntryPtr, std::less<>>;

  // Takes owner's entries in [from, to) out of byName_ (mu_ held) and hands them back for retire.
  std::vector<EntryPtr> unlink(Owner owner, EntryMap::iterator from, EntryMap::iterator to);
  void retire(std::unique_lock<std::mutex>& lock, std::vector<EntryPtr> gone);

  mutable std::mutex mu_;
  std::condition_variable idle_;
  EntryMap byName_;
  uint64_t nextOrder_ = 1;
  uint64_t nextTokenOwner_ = 1;

  friend class Observation;
};

// Ends its observation when destroyed or reset (the guarantee of removeObserver holds).
class Observation {
 public:
  Observation() = default;
  Observation(Observation&& other) noexcept;
  Observation& operator=(Observation&& other) noexcept;
  ~Observation() { reset(); }
  void reset();
  bool active() const { return center_ != nullptr; }

 private:
  friend class NotificationCenter;
  Observation(NotificationCenter* c, Owner o) : center_(c), owner_(o) {}
  NotificationCenter* center_ = nullptr;
  Owner owner_ = nullptr;
};

}  // namespace platform::notifications
