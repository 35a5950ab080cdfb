#include "platform/reactive/Signal.h"
#include "platform/reactive/Subject.h"

namespace platform::reactive {

struct Lifetime::State {
  ReplaySubject<Unit> ended;  // replays the end to anyone who asks after it
  std::atomic<bool> over{false};
};

Lifetime::Lifetime() : state_(std::make_shared<State>()) {}
Lifetime::~Lifetime() { end(); }

void Lifetime::end() {
  if (state_->over.exchange(true)) return;
  state_->ended.sendNext(Unit{});
  state_->ended.sendCompleted();
}

bool Lifetime::hasEnded() const { return state_->over; }

Signal<Unit> Lifetime::ended() const { return state_->ended.signal(); }

}  // namespace platform::reactive
