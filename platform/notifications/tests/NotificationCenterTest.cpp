#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/notifications/NotificationCenter.h"

using namespace platform::notifications;

PLATFORM_NOTIFICATION_NAME(TestStateChangedNotification);

TEST(NotificationCenter, NameConstantIsItsOwnName) {
  EXPECT_EQ(TestStateChangedNotification, "TestStateChangedNotification");
}

TEST(NotificationCenter, PostCallsObserversInOrderBeforeReturning) {
  NotificationCenter c;
  int a = 0, b = 0;
  std::vector<std::string> log;
  c.addObserver(&a, "N", [&](const Notification& n) {
    log.push_back("a:" + std::any_cast<std::string>(n.object));
  });
  c.addObserver(&b, "N", [&](const Notification& n) {
    log.push_back(n.object.has_value() ? "b:obj" : "b:none");
  });
  c.addObserver(&b, "Other", [&](const Notification&) { log.push_back("other"); });
  c.post("N", std::string("x"));
  EXPECT_EQ(log, (std::vector<std::string>{"a:x", "b:obj"}));
  c.post("Nobody");  // no observers: nothing happens
  EXPECT_EQ(log.size(), 2u);
}

TEST(NotificationCenter, ObservingTwiceKeepsOneObservation) {
  NotificationCenter c;
  int owner = 0, first = 0, second = 0;
  c.addObserver(&owner, "N", [&](const Notification&) { ++first; });
  c.addObserver(&owner, "N", [&](const Notification&) { ++second; });
  c.post("N");
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(c.observerCount("N"), 1u);
}

TEST(NotificationCenter, RemovePerNameAndWholly) {
  NotificationCenter c;
  int owner = 0, other = 0;
  std::vector<std::string> log;
  auto rec = [&](std::string tag) { return [&, tag](const Notification&) { log.push_back(tag); }; };
  c.addObserver(&owner, "A", rec("owner:A"));
  c.addObserver(&owner, "B", rec("owner:B"));
  c.addObserver(&other, "A", rec("other:A"));
  c.removeObserver(&owner, "A");
  c.post("A");
  c.post("B");
  EXPECT_EQ(log, (std::vector<std::string>{"other:A", "owner:B"}));
  log.clear();
  c.removeObserver(&owner);
  c.removeObserver(&owner);  // nothing left: harmless
  c.post("A");
  c.post("B");
  EXPECT_EQ(log, (std::vector<std::string>{"other:A"}));
}

TEST(NotificationCenter, HandlersMayRemoveAndPostFromInside) {
  NotificationCenter c;
  int self = 0, later = 0;
  std::vector<std::string> log;
  c.addObserver(&self, "N", [&](const Notification&) {
    log.push_back("self");
    c.removeObserver(&self);   // from its own handler: must not wait for itself
    c.removeObserver(&later);  // removed before its turn in this same post
    c.post("Inner");
  });
  c.addObserver(&later, "N", [&](const Notification&) { log.push_back("later"); });
  c.addObserver(&later, "Inner", [&](const Notification&) { log.push_back("inner"); });
  c.post("N");
  c.post("N");
  EXPECT_EQ(log, (std::vector<std::string>{"self"}));
}

TEST(NotificationCenter, TokenEndsObservationWhenDestroyed) {
  NotificationCenter c;
  int calls = 0;
  {
    Observation o = c.observe("N", [&](const Notification&) { ++calls; });
    Observation moved = std::move(o);
    EXPECT_FALSE(o.active());
    c.post("N");
  }
  c.post("N");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(c.observerCount("N"), 0u);
}

TEST(NotificationCenter, AfterRemovalReturnsTheHandlerIsNotRunningAnywhere) {
  NotificationCenter c;
  int owner = 0;
  std::atomic<int> inside{0}, calls{0};
  std::atomic<bool> stop{false};
  c.addObserver(&owner, "N", [&](const Notification&) {
    ++inside;
    ++calls;
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();  // widen the window
    --inside;
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      while (!stop) c.post("N");
    });
  }
  while (calls < 20) std::this_thread::yield();
  c.removeObserver(&owner, "N");
  EXPECT_EQ(inside, 0);
  const int seen = calls;
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  stop = true;
  for (auto& p : posters) p.join();
  EXPECT_EQ(calls, seen);
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}
