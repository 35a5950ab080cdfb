#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Galvent/Utils/GVQueueFactory.h"

TEST(GVQueueFactory, OneLabelledQueueEvenUnderRace) {
  std::vector<std::shared_ptr<platform::dispatch::SerialQueue>> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = GVQueueFactory::getQueue(); });
  for (auto& t : threads) t.join();
  for (const auto& q : seen) EXPECT_EQ(q, seen[0]);
  EXPECT_EQ(seen[0]->label(), "com.tessaryn.q5.processqueue");
}

TEST(GVQueueFactory, SyncRunsOnQueueAndInlineFromIt) {
  EXPECT_FALSE(GVQueueFactory::onQueue());
  std::vector<int> order;
  bool outerOnQueue = false, innerOnQueue = false;
  GVQueueFactory::excuteOnQueueSynchronizedly([&] {
    outerOnQueue = GVQueueFactory::onQueue();
    order.push_back(1);
    // Would deadlock if it waited for the queue it runs on.
    GVQueueFactory::excuteOnQueueSynchronizedly([&] {
      innerOnQueue = GVQueueFactory::onQueue();
      order.push_back(2);
    });
    order.push_back(3);
  });
  EXPECT_TRUE(outerOnQueue);
  EXPECT_TRUE(innerOnQueue);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GVQueueFactory, SyncWaitsBehindEarlierWork) {
  std::atomic<bool> earlierDone{false};
  GVQueueFactory::getQueue()->async([&] { earlierDone = true; });
  bool sawEarlier = false;
  GVQueueFactory::excuteOnQueueSynchronizedly([&] { sawEarlier = earlierDone.load(); });
  EXPECT_TRUE(sawEarlier);
}
