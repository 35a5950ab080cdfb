#pragma once
// An observable value (in place of key-value observation): signal() sends the current value at
// once, then every value set. Setting sends even when the value is equal, as observers expect.
#include <mutex>

#include "platform/reactive/Subject.h"

namespace platform::reactive {

template <class T>
class Property {
 public:
  explicit Property(T initial = T{}) : st_(std::make_shared<State>()) {
    st_->value = std::move(initial);
  }
  // Observers' subscriptions complete when the property goes away.
  ~Property() { st_->changes.sendCompleted(); }
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;

  T value() const {
    std::lock_guard lock(st_->mu);
    return st_->value;
  }
  void setValue(T v) {
    {
      std::lock_guard lock(st_->mu);
      st_->value = v;
    }
    st_->changes.sendNext(v);
  }
  // The current value, then each change.
  Signal<T> signal() const {
    return Signal<T>::create([st = st_](const SubscriberPtr<T>& s) {
      T current;
      {
        std::lock_guard lock(st->mu);
        current = st->value;
      }
      s->sendNext(current);
      return st->changes.signal().subscribeWith(s);
    });
  }
  // Only the values set from now on.
  Signal<T> changes() const { return st_->changes.signal(); }

 private:
  struct State {
    std::mutex mu;
    T value;
    Subject<T> changes;
  };
  std::shared_ptr<State> st_;
};

}  // namespace platform::reactive
