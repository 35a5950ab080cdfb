#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "gelmora/Shared/Make.h"
#include "gelmora/Shared/NotificationObserver.h"
#include "gelmora/Shared/PXExtension.h"

namespace {

using namespace std::chrono;

Make::Date utc(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
  return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

TEST(DateFormatterCache, OneFormatterPerThreadAndKey) {
  auto a = Make::dateFormatterWithFormat("yyyy-MM-dd");
  auto b = Make::dateFormatterWithFormat("yyyy-MM-dd");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, Make::dateFormatterWithFormat("yyyy/MM/dd"));
  EXPECT_NE(a, Make::dateFormatterWithFormat("yyyy-MM-dd", Make::TimeZone::fixed(0)));
  std::shared_ptr<Make::DateFormatter> other;
  std::thread([&other] { other = Make::dateFormatterWithFormat("yyyy-MM-dd"); }).join();
  EXPECT_NE(a, other);

  EXPECT_EQ(Make::dateFormatterWithFormat(""), nullptr);
  EXPECT_EQ(Make::dateFormatterWithDateStyle(Make::Style::Short),
            Make::dateFormatterWithDateStyle(Make::Style::Short));
  EXPECT_NE(Make::dateFormatterWithDateStyle(Make::Style::Short),
            Make::dateFormatterWithTimeStyle(Make::Style::Short));
}

// The cache keeps the formatters used last: a flood of formats pushes out the oldest only.
TEST(DateFormatterCache, KeepsTheMostRecentlyUsed) {
  auto first = Make::dateFormatterWithFormat("'first'yyyy");
  auto kept = Make::dateFormatterWithFormat("'kept'yyyy");
  for (size_t i = 0; i + 1 < Make::kDateFormatterCacheSize; ++i) {
    Make::dateFormatterWithFormat("'" + std::to_string(i) + "'yyyy");
    EXPECT_EQ(Make::dateFormatterWithFormat("'kept'yyyy"), kept) << i;
  }
  // "first" was the least recently used: made anew; one held by a caller still works.
  EXPECT_NE(Make::dateFormatterWithFormat("'first'yyyy"), first);
  EXPECT_EQ(first->stringFromDate(utc(2020, 1, 1)), "first2020");
  EXPECT_EQ(Make::dateFormatterWithFormat("'kept'yyyy"), kept);
}

TEST(DateFormatterCache, ZoneIsSetAgainOnACachedFormatter) {
  auto f = Make::dateFormatterWithFormat("HH", Make::TimeZone::fixed(0), std::string("de_DE"));
  EXPECT_EQ(f->stringFromDate(utc(2020, 1, 1, 5)), "05");
  EXPECT_EQ(f->locale(), "de_DE");
  EXPECT_EQ(Make::dateFormatterWithFormat("yyyy")->timeZone().abbreviation(), "GMT+8");
}

TEST(PXExtension, ConvertsBetweenFormats) {
  struct Case {
    const char* text;
    const char* in;
    const char* out;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"2019-03-01", "yyyy-MM-dd", "yyyy/MM/dd", "2019/03/01"},
      {"2019-03-01 08:05:09", "yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm:ss", "2019-03-01 08:05:09"},
      {"2019-3-1", "yyyy-M-d", "yyyy-MM-dd", "2019-03-01"},
      {"20190301", "yyyyMMdd", "dd.MM.yy", "01.03.19"},
      {"01 March", "dd 'March'", "MM-dd", "01-01"},  // a literal sets no field
      {"it's 2019", "'it''s' yyyy", "yyyy", "2019"},
      {"2019/03/01", "yyyy-MM-dd", "yyyy/MM/dd", std::nullopt},
      {"2019-02-30", "yyyy-MM-dd", "yyyy/MM/dd", std::nullopt},
      {"2019-13-01", "yyyy-MM-dd", "yyyy/MM/dd", std::nullopt},
      {"2019-03-01 24:00:00", "yyyy-MM-dd HH:mm:ss", "yyyy", std::nullopt},
      {"2019-03-01x", "yyyy-MM-dd", "yyyy", std::nullopt},
      {"2019-03-0", "yyyy-MM-dd", "yyyy", std::nullopt},
      {"", "yyyy-MM-dd", "yyyy", std::nullopt},
      {"Mar 1 2019", "MMM d yyyy", "yyyy", std::nullopt},  // month names are not read
      {"2019-03-01", "yyyy-MM-dd", "EEE", std::nullopt},   // nor written
      {"2019", "'open", "yyyy", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PXExtension::dateStringFromString(c.text, c.in, c.out), c.result)
        << c.text << " / " << c.in << " -> " << c.out;
  }
}

TEST(PXExtension, UtcStringsAreReadInTheFixedPlusEightZone) {
  EXPECT_EQ(PXExtension::dateFromUTCString("2019-03-01T00:00:00"), utc(2019, 2, 28, 16));
  EXPECT_EQ(PXExtension::dateFromUTCString("2019-03-01 00:00:00"), std::nullopt);
  EXPECT_EQ(PXExtension::dateStringFromString("2019-03-01T00:00:00", "yyyy-MM-dd"), "2019-03-01");
  auto zeroZone = Make::dateFormatterWithFormat("yyyy-MM-dd HH:mm", Make::TimeZone::fixed(0));
  EXPECT_EQ(PXExtension::dateFromString("2019-03-01 00:00", zeroZone.get()), utc(2019, 3, 1));
  EXPECT_EQ(PXExtension::dateFromString("x", static_cast<const Make::DateFormatter*>(nullptr)),
            std::nullopt);
}

TEST(PXExtension, DateStringFromDateUsesTheMachineZone) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(PXExtension::dateStringFromDate(utc(2021, 12, 31, 23, 59, 58), "yyyy-MM-dd HH:mm:ss"),
            "2021-12-31 23:59:58");
  EXPECT_EQ(PXExtension::dateStringFromDate(utc(2021, 1, 1), ""), std::nullopt);
  if (old) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST(DateFormatterStyles, WriteWithTheLocaleAndZone) {
  auto time = Make::dateFormatterWithTimeStyle(Make::Style::Short, Make::TimeZone::fixed(3600));
  EXPECT_EQ(time->stringFromDate(utc(2020, 6, 1, 10, 30)), "11:30");
  auto none = Make::dateFormatterWithDateStyle(Make::Style::None);
  EXPECT_EQ(none->stringFromDate(utc(2020, 6, 1)), "");
  auto full = Make::dateFormatterWithDateStyle(Make::Style::Full, Make::TimeZone::fixed(0));
  auto text = full->stringFromDate(utc(2020, 6, 1));
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("2020"), std::string::npos);
  EXPECT_EQ(full->dateFromString(*text), std::nullopt);
}

class CountingObserver : public NotificationObserver {
 public:
  ~CountingObserver() override { unobserveAllNotifications(); }
  void handleNotification(const platform::notifications::Notification& n) override {
    ++calls;
    last = n.name;
    if (n.object.has_value()) object = std::any_cast<std::string>(n.object);
  }
  std::atomic<int> calls{0};
  std::string last;
  std::string object;
};

TEST(NotificationObserver, ObservingTwiceCallsOnce) {
  CountingObserver o;
  o.observeNotification("TsTestOnceNotification");
  o.observeNotification("TsTestOnceNotification");
  EXPECT_TRUE(NotificationObserver::postNotification("TsTestOnceNotification"));
  EXPECT_EQ(o.calls, 1);
  EXPECT_EQ(o.last, "TsTestOnceNotification");
  EXPECT_TRUE(
      NotificationObserver::postNotification("TsTestOnceNotification", std::string("payload")));
  EXPECT_EQ(o.calls, 2);
  EXPECT_EQ(o.object, "payload");
}

TEST(NotificationObserver, PostAnswersYesWithoutObservers) {
  EXPECT_TRUE(NotificationObserver::postNotification("TsNobodyListensNotification"));
}

TEST(NotificationObserver, UnobservedAndDestroyedObserversAreNeverCalled) {
  CountingObserver stays;
  stays.observeNotification("TsTestA");
  stays.observeNotification("TsTestB");
  stays.unobserveNotification("TsTestA");
  NotificationObserver::postNotification("TsTestA");
  NotificationObserver::postNotification("TsTestB");
  EXPECT_EQ(stays.calls, 1);
  stays.unobserveAllNotifications();
  NotificationObserver::postNotification("TsTestB");
  EXPECT_EQ(stays.calls, 1);

  // Under ASan a call into a destroyed observer is a use after free.
  {
    auto gone = std::make_unique<CountingObserver>();
    gone->observeNotification("TsTestGone");
    NotificationObserver::postNotification("TsTestGone");
    EXPECT_EQ(gone->calls, 1);
  }
  NotificationObserver::postNotification("TsTestGone");
  EXPECT_EQ(
      platform::notifications::NotificationCenter::defaultCenter().observerCount("TsTestGone"), 0u);

  // The base destructor alone also ends every observation.
  {
    NotificationObserver plain;
    plain.observeNotification("TsTestPlain");
  }
  EXPECT_EQ(
      platform::notifications::NotificationCenter::defaultCenter().observerCount("TsTestPlain"),
      0u);
}

TEST(NotificationObserver, PostsFromOtherThreadsRunThere) {
  CountingObserver o;
  o.observeNotification("TsTestThreads");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] {
      for (int k = 0; k < 50; ++k) NotificationObserver::postNotification("TsTestThreads");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(o.calls, 200);
  o.unobserveAllNotifications();
}

}  // namespace
