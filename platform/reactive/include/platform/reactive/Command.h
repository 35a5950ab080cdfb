#pragma once
// A command runs one execution at a time: it is enabled when its enabling signal last said so and
// no execution is running. Executing while disabled answers an error and runs nothing.
#include <mutex>

#include "platform/reactive/Property.h"
#include "platform/reactive/Subject.h"

namespace platform::reactive {

inline constexpr const char* kCommandErrorDomain = "platform.reactive.CommandErrorDomain";
inline constexpr long long kCommandErrorNotEnabled = 1;

template <class In, class Out>
class Command {
 public:
  using SignalBlock = std::function<Signal<Out>(const In&)>;

  explicit Command(SignalBlock block) : Command(Signal<bool>::just(true), std::move(block)) {}
  // Until `enabling` sends its first value, the command counts as enabled.
  Command(Signal<bool> enabling, SignalBlock block) : st_(std::make_shared<State>()) {
    st_->block = std::move(block);
    enablingSub_ = enabling.subscribeNext([w = std::weak_ptr<State>(st_)](const bool& on) {
      if (auto st = w.lock()) {
        {
          std::lock_guard lock(st->mu);
          st->enablingValue = on;
        }
        st->publish();
      }
    });
  }
  ~Command() {
    enablingSub_.dispose();
    st_->errors.sendCompleted();
    st_->executionSignals.sendCompleted();
  }
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Starts an execution and answers its events (replayed to each subscriber, so subscribing
  // later misses nothing). Disabled: an error in kCommandErrorDomain, nothing run.
  Signal<Out> execute(const In& input) {
    {
      std::lock_guard lock(st_->mu);
      if (!st_->enablingValue || st_->running) {
        return Signal<Out>::error(Error{kCommandErrorDomain,
                                        kCommandErrorNotEnabled,
                                        "The command is disabled and cannot be executed",
                                        {}});
      }
      st_->running = true;
    }
    st_->publish();
    ReplaySubject<Out> results;
    st_->executionSignals.sendNext(results.signal());
    auto finish = [st = st_] {
      {
        std::lock_guard lock(st->mu);
        st->running = false;
      }
      st->publish();
    };
    st_->block(input).subscribe({[results](const Out& v) { results.sendNext(v); },
                                 [results, st = st_, finish](const Error& e) {
                                   finish();
                                   st->errors.sendNext(e);
                                   results.sendError(e);
                                 },
                                 [results, finish] {
                                   finish();
                                   results.sendCompleted();
                                 }});
    return results.signal();
  }

  bool isEnabled() const { return st_->enabled.value(); }
  bool isExecuting() const { return st_->executing.value(); }
  // Current enabling, then each change.
  Signal<bool> enabled() const { return st_->enabled.signal(); }
  // Current state, then each change.
  Signal<bool> executing() const { return st_->executing.signal(); }
  // The error of each failed execution.
  Signal<Error> errors() const { return st_->errors.signal(); }
  // The signal of each execution as it starts.
  Signal<Signal<Out>> executionSignals() const { return st_->executionSignals.signal(); }

 private:
  struct State {
    std::mutex mu;
    SignalBlock block;
    bool enablingValue = true;
    bool running = false;
    Property<bool> enabled{true};
    Property<bool> executing{false};
    Subject<Error> errors;
    Subject<Signal<Out>> executionSignals;

    // Sends the derived states when they changed.
    void publish() {
      bool on, busy;
      {
        std::lock_guard lock(mu);
        on = enablingValue && !running;
        busy = running;
      }
      if (executing.value() != busy) executing.setValue(busy);
      if (enabled.value() != on) enabled.setValue(on);
    }
  };

  std::shared_ptr<State> st_;
  Disposable enablingSub_;
};

}  // namespace platform::reactive
