#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/reactive/Reactive.h"

using namespace platform::reactive;
using namespace std::chrono_literals;
namespace dispatch = platform::dispatch;

namespace {

// Records every event of one subscription as text.
template <class T>
struct Recorder {
  std::vector<std::string> events;
  Observer<T> observer() {
    return {[this](const T& v) { events.push_back(std::to_string(v)); },
            [this](const Error& e) {
              events.push_back("error:" + e.domain + ":" + std::to_string(e.code));
            },
            [this] { events.push_back("done"); }};
  }
};
using Events = std::vector<std::string>;

Error err(long long code) { return Error{"Test", code, "failed", {}}; }

}  // namespace

TEST(Signal, EachSubscriptionRunsTheWorkOnce) {
  int runs = 0;
  auto sig = Signal<int>::create([&](const SubscriberPtr<int>& s) {
    ++runs;
    s->sendNext(runs);
    s->sendCompleted();
    s->sendNext(99);  // after the end: dropped
    return Disposable();
  });
  auto chained = sig.map([](int v) { return v * 10; }).doNext([](const int&) {});
  EXPECT_EQ(runs, 0);  // cold: nothing until subscribed
  Recorder<int> a, b;
  chained.subscribe(a.observer());
  chained.subscribe(b.observer());
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(a.events, (Events{"10", "done"}));
  EXPECT_EQ(b.events, (Events{"20", "done"}));
}

TEST(Signal, BasicSignalsAndSubscribeForms) {
  Recorder<int> r1, r2, r3;
  Signal<int>::just(7).subscribe(r1.observer());
  Signal<int>::empty().subscribe(r2.observer());
  Signal<int>::error(err(3)).subscribe(r3.observer());
  EXPECT_EQ(r1.events, (Events{"7", "done"}));
  EXPECT_EQ(r2.events, (Events{"done"}));
  EXPECT_EQ(r3.events, (Events{"error:Test:3"}));
  Signal<int> deflt;  // completes at once
  bool done = false, errored = false;
  deflt.subscribeCompleted([&] { done = true; });
  Signal<int>::error(err(1)).subscribeNext([](const int&) {});  // an unhandled error is dropped
  Signal<int>::error(err(1)).subscribeError([&](const Error& e) { errored = bool(e); });
  EXPECT_TRUE(done);
  EXPECT_TRUE(errored);
  EXPECT_FALSE(Error{});  // the "no error object"
}

TEST(Disposable, EachKindDisposesOnceAndLateAddsAreDisposed) {
  std::atomic<int> n{0};
  auto d = Disposable::create([&] { ++n; });
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) ts.emplace_back([d] { d.dispose(); });
  for (auto& t : ts) t.join();
  d.dispose();
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(d.isDisposed());

  int c = 0;
  CompositeDisposable comp;
  comp.add(Disposable::create([&] { ++c; }));
  comp.add(Disposable::create([&] { ++c; }));
  comp.dispose();
  comp.dispose();
  EXPECT_EQ(c, 2);
  comp.add(Disposable::create([&] { ++c; }));  // after the end: disposed on adding
  EXPECT_EQ(c, 3);

  std::vector<int> order;
  SerialDisposable serial;
  serial.set(Disposable::create([&] { order.push_back(1); }));
  serial.set(Disposable::create([&] { order.push_back(2); }));  // disposes 1
  serial.dispose();                                             // disposes 2
  serial.set(Disposable::create([&] { order.push_back(3); }));  // disposed at once
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  int scoped = 0;
  {
    ScopedDisposable s(Disposable::create([&] { ++scoped; }));
    ScopedDisposable moved = std::move(s);
  }
  EXPECT_EQ(scoped, 1);
}

TEST(Signal, DisposingStopsEventsAndRunsTheCleanupOnce) {
  Subject<int> src;
  int cleanups = 0;
  auto sig = Signal<int>::create([&](const SubscriberPtr<int>& s) {
    auto inner = src.signal().subscribeWith(s);
    return Disposable::create([&, inner] {
      ++cleanups;
      inner.dispose();
    });
  });
  Recorder<int> r;
  auto d = sig.map([](int v) { return v + 1; }).subscribe(r.observer());
  src.sendNext(1);
  d.dispose();
  d.dispose();
  src.sendNext(2);
  src.sendCompleted();
  EXPECT_EQ(r.events, (Events{"2"}));
  EXPECT_EQ(cleanups, 1);
}

TEST(Signal, IntervalTicksOnePeriodAfterSubscribingUntilDisposed) {
  auto sched = std::make_shared<TestScheduler>();
  const TimePoint start = sched->now();
  std::vector<Duration> ticks;
  auto d =
      interval(1s, sched).subscribeNext([&](const TimePoint& t) { ticks.push_back(t - start); });
  sched->advance(999ms);
  EXPECT_TRUE(ticks.empty());
  sched->advance(2001ms);
  EXPECT_EQ(ticks, (std::vector<Duration>{1s, 2s, 3s}));
  d.dispose();
  sched->advance(10s);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST(Signal, HeartbeatOnTheMainSchedulerInVirtualTime) {
  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  int beats = 0;
  auto d =
      interval(120s, Scheduler::mainThread()).subscribeNext([&](const TimePoint&) { ++beats; });
  clock.advance(119s);
  main.pump();
  EXPECT_EQ(beats, 0);
  clock.advance(1s);
  main.pump();
  EXPECT_EQ(beats, 1);
  clock.advance(240s);
  main.pump();
  EXPECT_EQ(beats, 3);
  d.dispose();
  clock.advance(600s);
  main.pump();
  EXPECT_EQ(beats, 3);
}

TEST(Signal, FinallyRunsAfterCompletionAndErrorButNotDisposal) {
  struct Case {
    Signal<int> source;
    Events expected;
  };
  Subject<int> never;
  const Case cases[] = {
      {Signal<int>::just(1), {"1", "done", "finally"}},
      {Signal<int>::error(err(5)), {"error:Test:5", "finally"}},
  };
  for (const auto& c : cases) {
    Recorder<int> r;
    c.source.finally([&] { r.events.push_back("finally"); }).subscribe(r.observer());
    EXPECT_EQ(r.events, c.expected);
  }
  Recorder<int> r;
  never.signal().finally([&] { r.events.push_back("finally"); }).subscribe(r.observer()).dispose();
  EXPECT_TRUE(r.events.empty());
}

TEST(Signal, TakeUntilALifetimeOrASignal) {
  Subject<int> src;
  Recorder<int> r;
  {
    Lifetime observer;
    src.signal().takeUntil(observer).subscribe(r.observer());
    src.sendNext(1);
  }  // the observer is released
  src.sendNext(2);
  EXPECT_EQ(r.events, (Events{"1", "done"}));

  Lifetime gone;
  gone.end();
  Recorder<int> late;
  src.signal().takeUntil(gone).subscribe(late.observer());
  src.sendNext(3);
  EXPECT_EQ(late.events, (Events{"done"}));

  Subject<std::string> trigger;
  Recorder<int> t;
  src.signal().takeUntil(trigger.signal()).subscribe(t.observer());
  src.sendNext(4);
  trigger.sendNext("stop");
  src.sendNext(5);
  EXPECT_EQ(t.events, (Events{"4", "done"}));
}

TEST(Signal, TakeWhileEndsAtTheFirstFailingValueWithoutPassingIt) {
  Subject<int> src;
  Recorder<int> r;
  src.signal().takeWhile([](const int& v) { return v > 0; }).subscribe(r.observer());
  for (int v : {3, 2, 1, 0, 5}) src.sendNext(v);
  EXPECT_EQ(r.events, (Events{"3", "2", "1", "done"}));
}

TEST(Signal, CombineLatestWaitsForAllThenReducesEachChange) {
  Subject<int> a;
  Subject<std::string> b;
  std::vector<std::string> out;
  bool done = false;
  Error failure;
  combineLatest([](const int& x, const std::string& y) { return std::to_string(x) + y; },
                a.signal(), b.signal())
      .subscribe({[&](const std::string& v) { out.push_back(v); },
                  [&](const Error& e) { failure = e; }, [&] { done = true; }});
  a.sendNext(1);
  a.sendNext(2);
  EXPECT_TRUE(out.empty());
  b.sendNext("x");
  a.sendNext(3);
  b.sendNext("y");
  EXPECT_EQ(out, (std::vector<std::string>{"2x", "3x", "3y"}));
  a.sendCompleted();
  EXPECT_FALSE(done);
  b.sendNext("z");  // the completed one keeps its last value
  b.sendCompleted();
  EXPECT_TRUE(done);
  EXPECT_EQ(out.back(), "3z");

  Subject<int> c, d;
  combineLatest([](const int& x, const int& y) { return x + y; }, c.signal(), d.signal())
      .subscribe({nullptr, [&](const Error& e) { failure = e; }, nullptr});
  d.sendError(err(9));
  EXPECT_EQ(failure.code, 9);
}

TEST(Signal, FlattenMapConcatAndThen) {
  Subject<int> outer;
  std::vector<Subject<int>> inners(2);
  Recorder<int> r;
  outer.signal()
      .flattenMap([&](const int& i) { return inners[i].signal(); })
      .subscribe(r.observer());
  outer.sendNext(0);
  outer.sendNext(1);
  inners[1].sendNext(10);
  inners[0].sendNext(20);
  outer.sendCompleted();
  inners[0].sendCompleted();
  EXPECT_EQ(r.events, (Events{"10", "20"}));  // one inner still runs
  inners[1].sendCompleted();
  EXPECT_EQ(r.events, (Events{"10", "20", "done"}));

  Recorder<int> c;
  Signal<int>::just(1).concat(Signal<int>::just(2)).subscribe(c.observer());
  EXPECT_EQ(c.events, (Events{"1", "2", "done"}));
  Recorder<int> failed;
  Signal<int>::error(err(2)).concat(Signal<int>::just(2)).subscribe(failed.observer());
  EXPECT_EQ(failed.events, (Events{"error:Test:2"}));

  int made = 0;
  Recorder<int> t;
  Signal<std::string>::just("dropped")
      .then([&] {
        ++made;
        return Signal<int>::just(42);
      })
      .subscribe(t.observer());
  EXPECT_EQ(t.events, (Events{"42", "done"}));
  EXPECT_EQ(made, 1);
}

TEST(Signal, SideEffectsSeeEveryEvent) {
  Events seen;
  Signal<int>::just(1)
      .doNext([&](const int& v) { seen.push_back("next" + std::to_string(v)); })
      .doCompleted([&] { seen.push_back("completed"); })
      .subscribeNext([](const int&) {});
  Signal<int>::error(err(4))
      .doError([&](const Error& e) { seen.push_back("error" + std::to_string(e.code)); })
      .subscribeNext([](const int&) {});
  EXPECT_EQ(seen, (Events{"next1", "completed", "error4"}));
}

TEST(Signal, DelayHoldsValuesAndCompletionButNotErrors) {
  auto sched = std::make_shared<TestScheduler>();
  Recorder<int> r;
  Signal<int>::just(1).delay(3s, sched).subscribe(r.observer());
  sched->advance(2999ms);
  EXPECT_TRUE(r.events.empty());
  sched->advance(1ms);
  EXPECT_EQ(r.events, (Events{"1", "done"}));

  Recorder<int> e;
  Signal<int>::error(err(1)).delay(3s, sched).subscribe(e.observer());
  EXPECT_EQ(e.events, (Events{"error:Test:1"}));

  // The stop sequence: wait, then start the next call; disposal while waiting starts nothing.
  int started = 0;
  auto d = Signal<Unit>::empty()
               .delay(3s, sched)
               .then([&] {
                 ++started;
                 return Signal<int>::just(0);
               })
               .subscribeNext([](const int&) {});
  sched->advance(1s);
  d.dispose();
  sched->advance(5s);
  EXPECT_EQ(started, 0);
}

TEST(Signal, DeliverOnMainRunsEventsOnThePumpedQueueInOrder) {
  dispatch::ScopedMainQueue main;
  auto worker = std::make_shared<dispatch::SerialQueue>("worker");
  Subject<int> src;
  std::vector<int> got;
  std::atomic<int> offMain{0};
  bool done = false;
  src.signal()
      .deliverOn(Scheduler::mainThread())
      .subscribe({[&](const int& v) {
                    if (!dispatch::isMainThread()) ++offMain;
                    got.push_back(v);
                  },
                  nullptr, [&] { done = true; }});
  worker->sync([&] {
    for (int i = 0; i < 100; ++i) src.sendNext(i);
    src.sendCompleted();
  });
  EXPECT_TRUE(got.empty());  // nothing before the main queue runs
  main.pump();
  ASSERT_EQ(got.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i], i);
  EXPECT_TRUE(done);
  EXPECT_EQ(offMain, 0);
}

TEST(Signal, BackgroundSchedulerHandsBackToMain) {
  dispatch::ScopedMainQueue main;
  std::atomic<bool> onBackground{false};
  int value = 0;
  Signal<int>::just(5)
      .deliverOn(Scheduler::background())
      .doNext([&](const int&) { onBackground = !dispatch::isMainThread(); })
      .deliverOn(Scheduler::mainThread())
      .subscribeNext([&](const int& v) { value = v; });
  EXPECT_TRUE(main.queue().runUntil([&] { return value == 5; }));
  EXPECT_TRUE(onBackground);
}

TEST(Subject, HotReplayAndEndForLateSubscribers) {
  Subject<int> hot;
  ReplaySubject<int> replay;
  hot.sendNext(1);
  replay.sendNext(1);
  Recorder<int> h, r;
  hot.signal().subscribe(h.observer());
  replay.signal().subscribe(r.observer());
  hot.sendNext(2);
  replay.sendNext(2);
  hot.sendError(err(7));
  replay.sendCompleted();
  hot.sendNext(3);
  EXPECT_EQ(h.events, (Events{"2", "error:Test:7"}));
  EXPECT_EQ(r.events, (Events{"1", "2", "done"}));
  Recorder<int> lateHot, lateReplay;
  hot.signal().subscribe(lateHot.observer());
  replay.signal().subscribe(lateReplay.observer());
  EXPECT_EQ(lateHot.events, (Events{"error:Test:7"}));
  EXPECT_EQ(lateReplay.events, (Events{"1", "2", "done"}));
}

TEST(Property, SendsCurrentValueThenEachSetAndEndsWithIt) {
  Recorder<int> r, changes;
  {
    Property<int> p(0);
    p.signal().subscribe(r.observer());
    p.changes().subscribe(changes.observer());
    p.setValue(30);
    p.setValue(30);  // equal values are sent too
    EXPECT_EQ(p.value(), 30);
  }
  EXPECT_EQ(r.events, (Events{"0", "30", "30", "done"}));
  EXPECT_EQ(changes.events, (Events{"30", "30", "done"}));
}

TEST(Command, RunsOneExecutionAtATime) {
  Property<bool> valid(false);
  Subject<int> reply;
  int started = 0;
  Command<std::string, int> cmd(valid.signal(), [&](const std::string&) {
    ++started;
    return reply.signal();
  });
  std::vector<bool> enabled, executing;
  cmd.enabled().subscribeNext([&](const bool& b) { enabled.push_back(b); });
  cmd.executing().subscribeNext([&](const bool& b) { executing.push_back(b); });
  std::vector<long long> errors;
  cmd.errors().subscribeNext([&](const Error& e) { errors.push_back(e.code); });

  Recorder<int> refused;
  cmd.execute("x").subscribe(refused.observer());  // the enabling signal said no
  EXPECT_EQ(refused.events, (Events{"error:platform.reactive.CommandErrorDomain:1"}));
  EXPECT_EQ(started, 0);

  valid.setValue(true);
  auto first = cmd.execute("a");
  EXPECT_TRUE(cmd.isExecuting());
  EXPECT_FALSE(cmd.isEnabled());
  Recorder<int> second;
  cmd.execute("b").subscribe(second.observer());
  EXPECT_EQ(second.events, (Events{"error:platform.reactive.CommandErrorDomain:1"}));
  EXPECT_EQ(started, 1);

  reply.sendNext(5);
  Recorder<int> late;  // subscribing after the value still sees it
  bool enabledAtEnd = false;
  first.subscribe(late.observer());
  first.subscribeCompleted([&] { enabledAtEnd = cmd.isEnabled(); });
  reply.sendCompleted();
  EXPECT_EQ(late.events, (Events{"5", "done"}));
  EXPECT_TRUE(enabledAtEnd);
  EXPECT_EQ(enabled, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(executing, (std::vector<bool>{false, true, false}));
  EXPECT_TRUE(errors.empty());  // refusals are not execution errors
}

TEST(Command, FailedExecutionReportsOnErrorsAndReEnables) {
  Command<int, int> cmd([](const int& code) { return Signal<int>::error(err(code)); });
  std::vector<long long> errors;
  cmd.errors().subscribeNext([&](const Error& e) { errors.push_back(e.code); });
  Recorder<int> r;
  cmd.execute(11).subscribe(r.observer());
  cmd.execute(12);
  EXPECT_EQ(r.events, (Events{"error:Test:11"}));
  EXPECT_EQ(errors, (std::vector<long long>{11, 12}));
  EXPECT_TRUE(cmd.isEnabled());
  EXPECT_FALSE(cmd.isExecuting());
}

TEST(NotificationSignal, ObservesUntilTheLifetimeEnds) {
  platform::notifications::NotificationCenter center;
  std::vector<std::string> got;
  {
    Lifetime screen;
    notificationSignal("TsUserStateChangedNotification", center)
        .takeUntil(screen)
        .subscribeNext(
            [&](const platform::notifications::Notification& n) { got.push_back(n.name); });
    center.post("TsUserStateChangedNotification");
    center.post("Other");
    EXPECT_EQ(center.observerCount("TsUserStateChangedNotification"), 1u);
  }
  center.post("TsUserStateChangedNotification");
  EXPECT_EQ(got, (std::vector<std::string>{"TsUserStateChangedNotification"}));
  EXPECT_EQ(center.observerCount("TsUserStateChangedNotification"), 0u);
}
