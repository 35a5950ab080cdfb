#pragma once
// Hot signals fed by hand: a Subject passes on what it is sent from then on; a ReplaySubject
// also replays everything it was sent to later subscribers.
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/reactive/Signal.h"

namespace platform::reactive {

// A handle: copies share the same subject. After an error or completion it sends nothing more,
// and a later subscriber receives that end at once.
template <class T>
class Subject {
 public:
  Subject() : Subject(false) {}

  void sendNext(const T& v) const {
    std::vector<SubscriberPtr<T>> subs;
    {
      std::lock_guard lock(st_->mu);
      if (st_->ended) return;
      if (st_->replay) st_->values.push_back(v);
      subs = st_->subs;
    }
    for (auto& s : subs) s->sendNext(v);
  }
  void sendError(const Error& e) const { end(e, true); }
  void sendCompleted() const { end(Error{}, false); }
  // An observer that feeds this subject.
  Observer<T> observer() const {
    return {[self = *this](const T& v) { self.sendNext(v); },
            [self = *this](const Error& e) { self.sendError(e); },
            [self = *this] { self.sendCompleted(); }};
  }

  Signal<T> signal() const {
    return Signal<T>::create([st = st_](const SubscriberPtr<T>& s) {
      std::vector<T> replayed;
      bool ended, failed;
      Error error;
      {
        std::lock_guard lock(st->mu);
        replayed = st->values;
        ended = st->ended;
        failed = st->failed;
        error = st->error;
        if (!ended) {
          std::erase_if(st->subs, [](const SubscriberPtr<T>& x) { return x->isStopped(); });
          st->subs.push_back(s);
        }
      }
      // A value sent from another thread meanwhile may overtake the replayed ones; subjects are
      // fed from one thread.
      for (const auto& v : replayed) s->sendNext(v);
      if (ended) {
        failed ? s->sendError(error) : s->sendCompleted();
        return Disposable();
      }
      return Disposable::create([w = std::weak_ptr<State>(st), s] {
        if (auto st = w.lock()) {
          std::lock_guard lock(st->mu);
          std::erase(st->subs, s);
        }
      });
    });
  }

 protected:
  explicit Subject(bool replay) : st_(std::make_shared<State>()) { st_->replay = replay; }

 private:
  struct State {
    std::mutex mu;
    std::vector<SubscriberPtr<T>> subs;
    std::vector<T> values;
    bool replay = false;
    bool ended = false;
    bool failed = false;
    Error error;
  };

  void end(const Error& e, bool failed) const {
    std::vector<SubscriberPtr<T>> subs;
    {
      std::lock_guard lock(st_->mu);
      if (st_->ended) return;
      st_->ended = true;
      st_->failed = failed;
      st_->error = e;
      subs.swap(st_->subs);
    }
    for (auto& s : subs) failed ? s->sendError(e) : s->sendCompleted();
  }

  std::shared_ptr<State> st_;
};

template <class T>
class ReplaySubject : public Subject<T> {
 public:
  ReplaySubject() : Subject<T>(true) {}
};

}  // namespace platform::reactive
