#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace platform::dispatch;
using namespace std::chrono_literals;

TEST(SerialQueue, KeepsEachPostersOrderAcrossThreads) {
  auto q = std::make_shared<SerialQueue>("order");
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on q
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) q->async([&, t, i] { seen[t].push_back(i); });
    });
  }
  for (auto& p : posters) p.join();
  q->sync([] {});  // everything posted before has run
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(SerialQueue, SyncOnItselfRunsInlineAndCurrentIsKnown) {
  auto q = std::make_shared<SerialQueue>("inline");
  std::vector<int> steps;
  bool current = false, inner = false;
  Queue* seenCurrent = nullptr;
  EXPECT_FALSE(q->isCurrent());
  q->sync([&] {
    current = q->isCurrent();
    seenCurrent = Queue::current();
    steps.push_back(1);
    q->sync([&] {  // would deadlock if queued behind the running task
      inner = true;
      steps.push_back(2);
    });
    steps.push_back(3);
  });
  EXPECT_TRUE(current);
  EXPECT_TRUE(inner);
  EXPECT_EQ(seenCurrent, q.get());
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Queue::current(), nullptr);
}

TEST(SerialQueue, ShutdownRunsAcceptedTasksAndDropsLaterOnes) {
  std::atomic<int> ran{0};
  {
    SerialQueue q("drain");
    std::atomic<bool> release{false};
    q.async([&] {
      while (!release) std::this_thread::yield();  // holds the queue while more are posted
    });
    for (int i = 0; i < 100; ++i) q.async([&] { ++ran; });
    release = true;
    q.shutdown();
    EXPECT_EQ(ran, 100);
    q.async([&] { ++ran; });
    q.sync([&] { ++ran; });  // returns without running instead of hanging
    q.shutdown();            // idempotent
  }
  EXPECT_EQ(ran, 100);
}

TEST(SerialQueue, LastOwnerDroppedFromItsOwnTask) {
  auto q = std::make_shared<SerialQueue>("self");
  ScopedMainQueue main;
  std::atomic<bool> done{false};
  std::atomic<bool> ownerGone{false};
  q->async([self = q, &ownerGone, &done]() mutable {
    while (!ownerGone) std::this_thread::yield();
    self.reset();  // the last reference: destroys the queue on its own thread
    postToMain([&] { done = true; });
  });
  q.reset();
  ownerGone = true;
  EXPECT_TRUE(main.queue().runUntil([&] { return done.load(); }));
}

TEST(MainQueue, PostsFromOtherThreadsReachThePumpedQueue) {
  ScopedMainQueue main;
  EXPECT_TRUE(isMainThread());
  std::atomic<int> onMain{0}, offMain{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      EXPECT_FALSE(isMainThread());
      for (int i = 0; i < 50; ++i) postToMain([&] { (isMainThread() ? onMain : offMain)++; });
    });
  }
  EXPECT_TRUE(main.queue().runUntil([&] { return onMain == 200; }));
  for (auto& t : threads) t.join();
  EXPECT_EQ(offMain, 0);
  EXPECT_EQ(main.queue().pending(), 0u);
}

TEST(MainQueue, SyncFromAnotherThreadWaitsForThePump) {
  ScopedMainQueue main;
  std::atomic<bool> ran{false}, returned{false};
  std::thread t([&] {
    mainQueue()->sync([&] { ran = true; });
    returned = true;
  });
  EXPECT_TRUE(main.queue().runUntil([&] { return returned.load(); }));
  t.join();
  EXPECT_TRUE(ran);
}

TEST(MainQueue, ScopedQueueRestoresThePreviousOne) {
  auto outer = std::make_shared<PumpedQueue>("outer");
  installMainQueue(outer);
  {
    ScopedMainQueue inner;
    EXPECT_EQ(mainQueue().get(), &inner.queue());
  }
  EXPECT_EQ(mainQueue(), outer);
  installMainQueue(nullptr);
}

class TimerTest : public ::testing::Test {
 protected:
  ScopedMainQueue main;
  ScopedVirtualClock clock;
};

TEST_F(TimerTest, OneShotFiresOnceAtItsDeadline) {
  int fired = 0;
  after(5s, mainQueue(), [&] { ++fired; });
  clock.advance(4999ms);
  main.pump();
  EXPECT_EQ(fired, 0);
  clock.advance(1ms);
  EXPECT_EQ(fired, 0);  // posted onto the queue, not run from the clock
  main.pump();
  EXPECT_EQ(fired, 1);
  clock.advance(1h);
  main.pump();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clock.clock().pendingCount(), 0u);
}

TEST_F(TimerTest, ZeroDelayPostsAtOnce) {
  int fired = 0;
  after(0s, mainQueue(), [&] { ++fired; });
  after(-3s, mainQueue(), [&] { ++fired; });
  main.pump();
  EXPECT_EQ(fired, 2);
}

TEST_F(TimerTest, RepeatingFirstRunAfterIntervalOrAtOnce) {
  struct Case {
    bool immediately;
    std::vector<int> expectedAfterEachSecond;  // cumulative runs after 0s, 1s, ... 3s
  };
  for (const Case& c : {Case{false, {0, 1, 2, 3}}, Case{true, {1, 2, 3, 4}}}) {
    int runs = 0;
    RepeatOptions opts;
    opts.fireImmediately = c.immediately;
    opts.leeway = 100ms;
    Timer t = repeating(
        1s, mainQueue(), [&] { ++runs; }, opts);
    std::vector<int> got;
    main.pump();
    got.push_back(runs);
    for (int s = 0; s < 3; ++s) {
      clock.advance(1s);
      main.pump();
      got.push_back(runs);
    }
    EXPECT_EQ(got, c.expectedAfterEachSecond) << "immediately=" << c.immediately;
    t.cancel();
  }
}

TEST_F(TimerTest, LongAdvanceRunsEveryPeriodInOrderWithItsTime) {
  std::vector<TimePoint> at;
  const TimePoint start = clock.clock().now();
  Timer t = repeating(120s, mainQueue(), [&] { at.push_back(clock.clock().now()); });
  std::vector<int> order;
  after(250s, mainQueue(), [&] { order.push_back(static_cast<int>(at.size())); });
  clock.advance(600s);
  main.pump();
  ASSERT_EQ(at.size(), 5u);
  // Tasks run after the advance, so their clock reads the end; the order is what matters.
  EXPECT_EQ(order, (std::vector<int>{2}));
  EXPECT_EQ(clock.clock().now(), start + 600s);
  EXPECT_EQ(*clock.clock().nextDeadline(), start + 720s);
  t.cancel();
}

TEST_F(TimerTest, CancelStopsFutureRunsEvenWhenAlreadyPosted) {
  int runs = 0;
  Timer t = repeating(1s, mainQueue(), [&] { ++runs; });
  clock.advance(2s);  // two runs posted, not yet pumped
  t.cancel();
  EXPECT_TRUE(t.isCancelled());
  main.pump();
  clock.advance(10s);
  main.pump();
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(clock.clock().pendingCount(), 0u);
  t.cancel();  // twice is harmless
  Timer none;
  none.cancel();
  EXPECT_FALSE(none.isValid());
}

TEST_F(TimerTest, RepeatingTimerCancelledFromItsOwnTask) {
  int runs = 0;
  Timer t;
  t = repeating(1s, mainQueue(), [&] {
    if (++runs == 3) t.cancel();
  });
  for (int i = 0; i < 10; ++i) {
    clock.advance(1s);
    main.pump();
  }
  EXPECT_EQ(runs, 3);
}

TEST_F(TimerTest, TimerOnASerialQueueAndOnAQueueThatIsGone) {
  auto q = std::make_shared<SerialQueue>("timers");
  std::atomic<int> onQueue{0};
  after(1s, q, [&] { onQueue += q->isCurrent() ? 1 : 100; });
  auto gone = std::make_shared<SerialQueue>("gone");
  after(1s, gone, [&] { onQueue += 1000; });
  gone.reset();
  clock.advance(1s);
  q->sync([] {});
  EXPECT_EQ(onQueue, 1);
}

TEST(SteadyClock, PastDeadlineFiresAndCancelledOneDoesNot) {
  auto c = std::make_shared<SteadyClock>();
  ScopedMainQueue main;
  std::atomic<int> fired{0};
  const uint64_t late = c->schedule(c->now() + 1h, [&] { fired += 100; });
  c->schedule(c->now() - 1s, [&] { postToMain([&] { ++fired; }); });
  c->cancel(late);
  EXPECT_TRUE(main.queue().runUntil([&] { return fired >= 1; }));
  EXPECT_EQ(fired, 1);
}
