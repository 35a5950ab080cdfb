#include "platform/reactive/Disposable.h"

#include <algorithm>

namespace platform::reactive {

struct Disposable::State {
  std::mutex mu;
  bool disposed = false;
  std::function<void()> action;
};

Disposable Disposable::create(std::function<void()> action) {
  Disposable d;
  d.state_ = std::make_shared<State>();
  d.state_->action = std::move(action);
  return d;
}

Disposable Disposable::disposed() {
  Disposable d;
  d.state_ = std::make_shared<State>();
  d.state_->disposed = true;
  return d;
}

void Disposable::dispose() const {
  if (!state_) return;
  std::function<void()> action;
  {
    std::lock_guard lock(state_->mu);
    if (state_->disposed) return;
    state_->disposed = true;
    action = std::move(state_->action);
    state_->action = nullptr;
  }
  // Outside the lock: the action may dispose other things, this one included.
  if (action) action();
}

bool Disposable::isDisposed() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mu);
  return state_->disposed;
}

struct CompositeDisposable::State {
  std::mutex mu;
  bool disposed = false;
  std::vector<Disposable> items;
};

CompositeDisposable::CompositeDisposable() : state_(std::make_shared<State>()) {}

void CompositeDisposable::add(Disposable d) const {
  {
    std::lock_guard lock(state_->mu);
    if (!state_->disposed) {
      // Drop finished ones so a long-lived composite does not grow without bound.
      std::erase_if(state_->items, [](const Disposable& x) { return x.isDisposed(); });
      state_->items.push_back(std::move(d));
      return;
    }
  }
  d.dispose();
}

void CompositeDisposable::remove(const Disposable& d) const {
  std::lock_guard lock(state_->mu);
  std::erase(state_->items, d);
}

void CompositeDisposable::dispose() const {
  std::vector<Disposable> items;
  {
    std::lock_guard lock(state_->mu);
    if (state_->disposed) return;
    state_->disposed = true;
    items.swap(state_->items);
  }
  for (auto& d : items) d.dispose();
}

bool CompositeDisposable::isDisposed() const {
  std::lock_guard lock(state_->mu);
  return state_->disposed;
}

Disposable CompositeDisposable::asDisposable() const {
  return Disposable::create([s = *this] { s.dispose(); });
}

struct SerialDisposable::State {
  std::mutex mu;
  bool disposed = false;
  Disposable current;
};

SerialDisposable::SerialDisposable() : state_(std::make_shared<State>()) {}

void SerialDisposable::set(Disposable d) const {
  Disposable old;
  {
    std::lock_guard lock(state_->mu);
    if (state_->disposed) {
      old = std::move(d);
    } else {
      old = std::move(state_->current);
      state_->current = std::move(d);
    }
  }
  old.dispose();
}

Disposable SerialDisposable::get() const {
  std::lock_guard lock(state_->mu);
  return state_->current;
}

void SerialDisposable::dispose() const {
  Disposable old;
  {
    std::lock_guard lock(state_->mu);
    if (state_->disposed) return;
    state_->disposed = true;
    old = std::move(state_->current);
  }
  old.dispose();
}

bool SerialDisposable::isDisposed() const {
  std::lock_guard lock(state_->mu);
  return state_->disposed;
}

Disposable SerialDisposable::asDisposable() const {
  return Disposable::create([s = *this] { s.dispose(); });
}

}  // namespace platform::reactive
