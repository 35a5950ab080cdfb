// Reactive values and commands bound to widgets; tickers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "UiTestSupport.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Command.h"
#include "platform/reactive/Property.h"
#include "platform/reactive/Subject.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Ticker.h"
#include "ui/Kit/UiTiming.h"

using namespace gelmora::ui;
using gelmora::ui::test::waitFor;
namespace rx = platform::reactive;
using platform::notifications::NotificationCenter;

namespace {

using UnitCommand = rx::Command<rx::Unit, rx::Unit>;

TEST(Bindings, ButtonMirrorsTheCommandAndAClickExecutesIt) {
  rx::Property<bool> valid(false);
  rx::Subject<rx::Unit> work;  // an execution runs until this completes
  int executions = 0;
  auto command = std::make_shared<UnitCommand>(valid.signal(), [&](const rx::Unit&) {
    ++executions;
    return work.signal();
  });
  QPushButton button;
  bindCommand(&button, command);
  EXPECT_FALSE(button.isEnabled());
  valid.setValue(true);
  EXPECT_TRUE(button.isEnabled());

  button.click();
  EXPECT_EQ(executions, 1);
  EXPECT_FALSE(button.isEnabled());  // one execution at a time
  work.sendCompleted();
  EXPECT_TRUE(button.isEnabled());

  valid.setValue(false);
  EXPECT_FALSE(button.isEnabled());
  button.click();  // a disabled button cannot be clicked
  EXPECT_EQ(executions, 1);
}

TEST(Bindings, EnablingFromAnotherThreadArrivesOnTheGuiThread) {
  rx::Property<bool> valid(true);
  auto command = std::make_shared<UnitCommand>(
      valid.signal(), [](const rx::Unit&) { return rx::Signal<rx::Unit>::empty(); });
  QPushButton button;
  bindCommand(&button, command);
  std::thread([&] { valid.setValue(false); }).join();
  EXPECT_TRUE(waitFor([&] { return !button.isEnabled(); }));
}

TEST(Bindings, OnlyTheUsersEditsReachTheModel) {
  QLineEdit field;
  field.setText("kept@example.com");
  std::vector<std::string> model;
  bindText(&field, [&](const std::string& text) { model.push_back(text); });
  ASSERT_EQ(model.size(), 1u);  // the text at binding time
  EXPECT_EQ(model.back(), "kept@example.com");

  field.setText("from code");
  field.clear();
  EXPECT_EQ(model.size(), 1u);

  field.show();
  QApplication::setActiveWindow(&field);
  field.setFocus();
  QTest::keyClicks(&field, "ab");
  ASSERT_EQ(model.size(), 3u);
  EXPECT_EQ(model.back(), "ab");
}

TEST(Bindings, TitleFollowsItsSignal) {
  rx::Property<std::string> title("Get code");
  QPushButton button;
  bindTitle(&button, title.signal());
  EXPECT_EQ(button.text(), "Get code");
  title.setValue("29 s");
  EXPECT_EQ(button.text(), "29 s");
}

TEST(Bindings, ADeletedWidgetIsNeverCalledAgain) {
  auto& center = NotificationCenter::defaultCenter();
  const size_t observersBefore = center.observerCount("BindingsTestNotification");
  int observed = 0;
  int values = 0;
  rx::Subject<int> numbers;
  auto* widget = new QWidget;
  observe(widget, "BindingsTestNotification", [&](const auto&) { ++observed; });
  bindValue<int>(widget, numbers.signal(), [&](const int&) { ++values; });
  center.post("BindingsTestNotification");
  numbers.sendNext(1);
  EXPECT_EQ(observed, 1);
  EXPECT_EQ(values, 1);

  // A post from another thread is delivered on the widget's thread; the widget goes first.
  std::thread([&] { center.post("BindingsTestNotification"); }).join();
  delete widget;
  QCoreApplication::processEvents();
  center.post("BindingsTestNotification");
  numbers.sendNext(2);
  QTest::qWait(5);
  EXPECT_EQ(observed, 1);
  EXPECT_EQ(values, 1);
  EXPECT_EQ(center.observerCount("BindingsTestNotification"), observersBefore);
}

TEST(Bindings, ManualTickerTicksOnlyWhileStarted) {
  ManualTicker ticker;
  int seconds = 3;
  QObject::connect(&ticker, &Ticker::tick, [&] {
    if (--seconds == 0) ticker.stop();
  });
  EXPECT_EQ(ticker.fire(), 0);  // not started
  ticker.start(1.0);
  EXPECT_DOUBLE_EQ(ticker.interval(), 1.0);
  EXPECT_EQ(ticker.fire(5), 3);  // the count-down stopped it at 0
  EXPECT_EQ(seconds, 0);
  EXPECT_FALSE(ticker.isActive());
}

TEST(Bindings, QtTickerRunsOnTheScaledClock) {
  UiTiming::setScale(0.01);
  auto ticker = qtTickers()();
  int ticks = 0;
  QObject::connect(ticker.get(), &Ticker::tick, [&] { ++ticks; });
  ticker->start(1.0);  // 10 ms of real time each
  EXPECT_TRUE(waitFor([&] { return ticks >= 3; }));
  ticker->stop();
  EXPECT_FALSE(ticker->isActive());
  UiTiming::setScale(1);
}

}  // namespace
