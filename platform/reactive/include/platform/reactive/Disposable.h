#pragma once
// Disposables end subscriptions and release what they hold. Each kind is a handle: copies share
// the same disposable, and disposing runs its action exactly once.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::reactive {

class Disposable {
 public:
  // An empty handle: disposing it does nothing.
  Disposable() = default;
  // Runs `action` on the first dispose().
  static Disposable create(std::function<void()> action);
  // Already disposed; for work that finished synchronously.
  static Disposable disposed();

  void dispose() const;
  bool isDisposed() const;
  bool isEmpty() const { return state_ == nullptr; }
  bool operator==(const Disposable& o) const { return state_ == o.state_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Disposes every disposable added to it, at once; one added after that is disposed on adding.
class CompositeDisposable {
 public:
  CompositeDisposable();
  void add(Disposable d) const;
  void remove(const Disposable& d) const;
  void dispose() const;
  bool isDisposed() const;
  // A plain handle that disposes this composite.
  Disposable asDisposable() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Holds one disposable; setting another disposes the one held. After dispose(), a new one is
// disposed on setting.
class SerialDisposable {
 public:
  SerialDisposable();
  void set(Disposable d) const;
  Disposable get() const;
  void dispose() const;
  bool isDisposed() const;
  Disposable asDisposable() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Disposes what it holds when it goes out of scope.
class ScopedDisposable {
 public:
  ScopedDisposable() = default;
  explicit ScopedDisposable(Disposable d) : d_(std::move(d)) {}
  ScopedDisposable(ScopedDisposable&& o) noexcept : d_(std::move(o.d_)) { o.d_ = Disposable(); }
  ScopedDisposable& operator=(ScopedDisposable&& o) noexcept {
    if (this != &o) {
      d_.dispose();
      d_ = std::move(o.d_);
      o.d_ = Disposable();
    }
    return *this;
  }
  ScopedDisposable& operator=(Disposable d) {
    d_.dispose();
    d_ = std::move(d);
    return *this;
  }
  ~ScopedDisposable() { d_.dispose(); }
  void dispose() { d_.dispose(); }
  // Gives up ownership without disposing.
  Disposable release() {
    Disposable d = std::move(d_);
    d_ = Disposable();
    return d;
  }
  const Disposable& get() const { return d_; }

 private:
  Disposable d_;
};

}  // namespace platform::reactive
