#pragma once
// Cold signals: nothing runs until a subscription, and each subscription runs the work anew. A
// subscriber sees any number of values, then at most one error or completion.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/reactive/Disposable.h"
#include "platform/reactive/Error.h"
#include "platform/reactive/Scheduler.h"

namespace platform::reactive {

// The value of signals that carry no value.
struct Unit {
  bool operator==(const Unit&) const = default;
};

template <class T>
struct Observer {
  std::function<void(const T&)> next;
  std::function<void(const Error&)> error;
  std::function<void()> completed;
};

// The receiving end of one subscription. After an error, completion or disposal it passes nothing
// on and disposes the subscription's resources.
template <class T>
class Subscriber {
 public:
  explicit Subscriber(Observer<T> o) : o_(std::move(o)) {}

  void sendNext(const T& v) {
    if (!stopped_ && o_.next) o_.next(v);
  }
  void sendError(const Error& e) {
    if (stopped_.exchange(true)) return;
    if (o_.error) o_.error(e);
    resources_.dispose();
  }
  void sendCompleted() {
    if (stopped_.exchange(true)) return;
    if (o_.completed) o_.completed();
    resources_.dispose();
  }
  bool isStopped() const { return stopped_; }
  // Resources of the subscription; disposed when it ends (an add after that disposes at once).
  const CompositeDisposable& resources() const { return resources_; }
  void dispose() {
    stopped_ = true;
    resources_.dispose();
  }

 private:
  Observer<T> o_;
  std::atomic<bool> stopped_{false};
  CompositeDisposable resources_;
};

template <class T>
using SubscriberPtr = std::shared_ptr<Subscriber<T>>;

template <class T>
class Signal;
class Lifetime;

template <class S>
struct IsSignal : std::false_type {};
template <class U>
struct IsSignal<Signal<U>> : std::true_type {};

template <class T>
class Signal {
 public:
  using Value = T;
  // Starts the work for one subscriber; the returned disposable stops it.
  using DidSubscribe = std::function<Disposable(const SubscriberPtr<T>&)>;

  // A default signal completes at once without a value.
  Signal() : Signal(empty()) {}
  explicit Signal(DidSubscribe f) : didSubscribe_(std::make_shared<DidSubscribe>(std::move(f))) {}

  static Signal create(DidSubscribe f) { return Signal(std::move(f)); }
  static Signal just(T v) {
    return create([v = std::move(v)](const SubscriberPtr<T>& s) {
      s->sendNext(v);
      s->sendCompleted();
      return Disposable();
    });
  }
  static Signal empty() {
    return Signal(DidSubscribe([](const SubscriberPtr<T>& s) {
      s->sendCompleted();
      return Disposable();
    }));
  }
  static Signal error(Error e) {
    return create([e = std::move(e)](const SubscriberPtr<T>& s) {
      s->sendError(e);
      return Disposable();
    });
  }
  static Signal never() {
    return create([](const SubscriberPtr<T>&) { return Disposable(); });
  }
  // Builds the signal anew at each subscription.
  static Signal defer(std::function<Signal()> make) {
    return create(
        [make = std::move(make)](const SubscriberPtr<T>& s) { return make().subscribeWith(s); });
  }

  // Subscribes; disposing the result ends the subscription.
  Disposable subscribe(Observer<T> o) const {
    return subscribeWith(std::make_shared<Subscriber<T>>(std::move(o)));
  }
  Disposable subscribeNext(std::function<void(const T&)> next) const {
    return subscribe({std::move(next), nullptr, nullptr});
  }
  Disposable subscribeError(std::function<void(const Error&)> error) const {
    return subscribe({nullptr, std::move(error), nullptr});
  }
  Disposable subscribeCompleted(std::function<void()> completed) const {
    return subscribe({nullptr, nullptr, std::move(completed)});
  }
  // Forwards into an existing subscriber (what operators use).
  Disposable subscribeWith(const SubscriberPtr<T>& s) const {
    Disposable handle = Disposable::create([w = std::weak_ptr<Subscriber<T>>(s)] {
      if (auto s = w.lock()) s->dispose();
    });
    if (!s->isStopped()) s->resources().add((*didSubscribe_)(s));
    // The handle reads as disposed once the subscription ends, so composites holding it can
    // drop it; long-lived subscriptions would otherwise collect one per finished inner one.
    s->resources().add(handle);
    return handle;
  }

  template <class F>
  auto map(F f) const -> Signal<std::decay_t<std::invoke_result_t<F&, const T&>>> {
    using U = std::decay_t<std::invoke_result_t<F&, const T&>>;
    return Signal<U>::create([self = *this, f = std::move(f)](const SubscriberPtr<U>& s) mutable {
      return self.subscribe({[s, f](const T& v) mutable { s->sendNext(f(v)); },
                             [s](const Error& e) { s->sendError(e); },
                             [s] { s->sendCompleted(); }});
    });
  }

  // Maps each value to a signal and passes on the values of all of them; completes when this
  // and every inner signal have completed; the first error ends everything.
  template <class F>
  auto flattenMap(F f) const -> std::decay_t<std::invoke_result_t<F&, const T&>> {
    using Inner = std::decay_t<std::invoke_result_t<F&, const T&>>;
    static_assert(IsSignal<Inner>::value, "flattenMap's function must return a Signal");
    using U = typename Inner::Value;
    return Inner::create([self = *this, f = std::move(f)](const SubscriberPtr<U>& s) mutable {
      struct State {
        std::recursive_mutex mu;
        int active = 1;  // this signal plus each running inner one
      };
      auto st = std::make_shared<State>();
      auto finishOne = [s, st] {
        std::lock_guard lock(st->mu);
        if (--st->active == 0) s->sendCompleted();
      };
      return self.subscribe({[s, st, f, finishOne](const T& v) mutable {
                               Inner inner = f(v);
                               {
                                 std::lock_guard lock(st->mu);
                                 ++st->active;
                               }
                               auto inS = std::make_shared<Subscriber<U>>(
                                   Observer<U>{[s, st](const U& u) {
                                                 std::lock_guard lock(st->mu);
                                                 s->sendNext(u);
                                               },
                                               [s, st](const Error& e) {
                                                 std::lock_guard lock(st->mu);
                                                 s->sendError(e);
                                               },
                                               finishOne});
                               s->resources().add(inner.subscribeWith(inS));
                             },
                             [s, st](const Error& e) {
                               std::lock_guard lock(st->mu);
                               s->sendError(e);
                             },
                             finishOne});
    });
  }

  // This signal's events, then on completion those of `next`.
  Signal concat(Signal next) const {
    return create([self = *this, next = std::move(next)](const SubscriberPtr<T>& s) {
      auto serial = SerialDisposable();
      serial.set(self.subscribe({[s](const T& v) { s->sendNext(v); },
                                 [s](const Error& e) { s->sendError(e); },
                                 [s, next, serial] { serial.set(next.subscribeWith(s)); }}));
      return serial.asDisposable();
    });
  }

  // Drops this signal's values; on completion continues with the signal `make` returns.
  template <class F>
  auto then(F make) const -> std::decay_t<std::invoke_result_t<F&>> {
    using Next = std::decay_t<std::invoke_result_t<F&>>;
    using U = typename Next::Value;
    return Next::create([self = *this, make = std::move(make)](const SubscriberPtr<U>& s) mutable {
      auto serial = SerialDisposable();
      serial.set(
          self.subscribe({nullptr, [s](const Error& e) { s->sendError(e); },
                          [s, make, serial]() mutable { serial.set(make().subscribeWith(s)); }}));
      return serial.asDisposable();
    });
  }

  Signal doNext(std::function<void(const T&)> f) const {
    return tap({std::move(f), nullptr, nullptr});
  }
  Signal doError(std::function<void(const Error&)> f) const {
    return tap({nullptr, std::move(f), nullptr});
  }
  Signal doCompleted(std::function<void()> f) const {
    return tap({nullptr, nullptr, std::move(f)});
  }
  // Runs `f` after an error or completion is passed on (not on disposal).
  Signal finally(std::function<void()> f) const {
    return create([self = *this, f = std::move(f)](const SubscriberPtr<T>& s) {
      return self.subscribe({[s](const T& v) { s->sendNext(v); },
                             [s, f](const Error& e) {
                               s->sendError(e);
                               f();
                             },
                             [s, f] {
                               s->sendCompleted();
                               f();
                             }});
    });
  }

  // Completes when `trigger` sends a value or completes; passes on values until then.
  template <class U>
  Signal takeUntil(const Signal<U>& trigger) const {
    return create([self = *this, trigger](const SubscriberPtr<T>& s) {
      auto mu = std::make_shared<std::recursive_mutex>();
      auto stop = [s, mu] {
        std::lock_guard lock(*mu);
        s->sendCompleted();
      };
      s->resources().add(trigger.subscribe({[stop](const U&) { stop(); }, nullptr, stop}));
      if (s->isStopped()) return Disposable();
      return self.subscribe({[s, mu](const T& v) {
                               std::lock_guard lock(*mu);
                               s->sendNext(v);
                             },
                             [s, mu](const Error& e) {
                               std::lock_guard lock(*mu);
                               s->sendError(e);
                             },
                             stop});
    });
  }
  // Completes when the lifetime ends.
  Signal takeUntil(const Lifetime& lifetime) const;

  // Passes values while `pred` holds; the first failing value is not passed on and completes.
  Signal takeWhile(std::function<bool(const T&)> pred) const {
    return create([self = *this, pred = std::move(pred)](const SubscriberPtr<T>& s) {
      return self.subscribe({[s, pred](const T& v) {
                               if (pred(v)) {
                                 s->sendNext(v);
                               } else {
                                 s->sendCompleted();
                               }
                             },
                             [s](const Error& e) { s->sendError(e); },
                             [s] { s->sendCompleted(); }});
    });
  }

  // Values and completion come `d` later on `scheduler`; an error passes at once.
  Signal delay(Duration d, SchedulerPtr scheduler = Scheduler::background()) const {
    return create([self = *this, d, scheduler](const SubscriberPtr<T>& s) {
      auto later = [s, d, scheduler](Task t) {
        s->resources().add(scheduler->after(d, std::move(t)));
      };
      return self.subscribe({[s, later](const T& v) { later([s, v] { s->sendNext(v); }); },
                             [s](const Error& e) { s->sendError(e); },
                             [s, later] { later([s] { s->sendCompleted(); }); }});
    });
  }

  // Every event is passed on from `scheduler`, in order.
  Signal deliverOn(SchedulerPtr scheduler) const {
    return create([self = *this, scheduler](const SubscriberPtr<T>& s) {
      auto on = [s, scheduler](Task t) { s->resources().add(scheduler->schedule(std::move(t))); };
      return self.subscribe({[s, on](const T& v) { on([s, v] { s->sendNext(v); }); },
                             [s, on](const Error& e) { on([s, e] { s->sendError(e); }); },
                             [s, on] { on([s] { s->sendCompleted(); }); }});
    });
  }

  // Completion and errors only.
  Signal<Unit> ignoreValues() const {
    return Signal<Unit>::create([self = *this](const SubscriberPtr<Unit>& s) {
      return self.subscribe(
          {nullptr, [s](const Error& e) { s->sendError(e); }, [s] { s->sendCompleted(); }});
    });
  }

 private:
  Signal tap(Observer<T> side) const {
    return create([self = *this, side = std::move(side)](const SubscriberPtr<T>& s) {
      return self.subscribe({[s, side](const T& v) {
                               if (side.next) side.next(v);
                               s->sendNext(v);
                             },
                             [s, side](const Error& e) {
                               if (side.error) side.error(e);
                               s->sendError(e);
                             },
                             [s, side] {
                               if (side.completed) side.completed();
                               s->sendCompleted();
                             }});
    });
  }

  std::shared_ptr<const DidSubscribe> didSubscribe_;
};

// Sends the scheduler's time every `period`, the first one period after subscribing; never ends.
inline Signal<TimePoint> interval(Duration period, SchedulerPtr scheduler) {
  return Signal<TimePoint>::create([period, scheduler](const SubscriberPtr<TimePoint>& s) {
    return scheduler->every(period, [s, scheduler] { s->sendNext(scheduler->now()); });
  });
}

// Once every signal has sent a value, sends reduce(latest values...) on each new value.
// Completes when all have completed; the first error ends it.
template <class Reduce, class... Ts>
auto combineLatest(Reduce reduce, const Signal<Ts>&... signals)
    -> Signal<std::decay_t<std::invoke_result_t<Reduce&, const Ts&...>>> {
  using R = std::decay_t<std::invoke_result_t<Reduce&, const Ts&...>>;
  return Signal<R>::create([reduce, signals...](const SubscriberPtr<R>& s) {
    struct State {
      std::recursive_mutex mu;
      std::tuple<std::optional<Ts>...> latest;
      size_t running = sizeof...(Ts);
    };
    auto st = std::make_shared<State>();
    CompositeDisposable all;
    auto subscribeOne = [&]<size_t I>(std::integral_constant<size_t, I>, const auto& sig) {
      using V = typename std::decay_t<decltype(sig)>::Value;
      all.add(sig.subscribe(
          {[s, st, reduce](const V& v) mutable {
             std::lock_guard lock(st->mu);
             std::get<I>(st->latest) = v;
             const bool ready =
                 std::apply([](const auto&... o) { return (o.has_value() && ...); }, st->latest);
             if (ready)
               s->sendNext(std::apply([&](const auto&... o) { return reduce(*o...); }, st->latest));
           },
           [s, st](const Error& e) {
             std::lock_guard lock(st->mu);
             s->sendError(e);
           },
           [s, st] {
             std::lock_guard lock(st->mu);
             if (--st->running == 0) s->sendCompleted();
           }}));
    };
    [&]<size_t... I>(std::index_sequence<I...>) {
      (subscribeOne(std::integral_constant<size_t, I>{}, signals), ...);
    }
    (std::index_sequence_for<Ts...>{});
    return all.asDisposable();
  });
}

// Ends subscriptions taken until it ("until the observer is released"): owned by the observer,
// it ends when destroyed or when end() is called.
class Lifetime {
 public:
  Lifetime();
  ~Lifetime();
  Lifetime(const Lifetime&) = delete;
  Lifetime& operator=(const Lifetime&) = delete;
  void end();
  bool hasEnded() const;
  // Sends one value and completes when the lifetime ends (at once when it has).
  Signal<Unit> ended() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

template <class T>
Signal<T> Signal<T>::takeUntil(const Lifetime& lifetime) const {
  return takeUntil(lifetime.ended());
}

}  // namespace platform::reactive
