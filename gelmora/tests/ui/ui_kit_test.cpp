// The UI kit: main queue, collaborators, alerts, registry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <thread>

#include "UiTestSupport.h"
#include "platform/dispatch/Queue.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/QtUrlOpener.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/Alert.h"
#include "ui/Kit/L10n.h"

using namespace gelmora::ui;
using gelmora::ui::test::LogCapture;
using gelmora::ui::test::waitFor;
namespace dispatch = platform::dispatch;

namespace {

// Message boxes open now, of any window.
std::vector<QMessageBox*> openBoxes() {
  std::vector<QMessageBox*> out;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) out.push_back(box);
  }
  return out;
}

void closeBoxes() {
  for (QMessageBox* box : openBoxes()) box->done(0);
  QCoreApplication::processEvents();
}

class KitTest : public ::testing::Test {
 protected:
  void TearDown() override {
    closeBoxes();
    setMainWindow(nullptr);
  }
};

TEST_F(KitTest, MainQueueIsTheQtLoopAndKeepsOrderFromEveryThread) {
  auto queue = dispatch::mainQueue();
  ASSERT_NE(dynamic_cast<QtMainQueue*>(queue.get()), nullptr);
  EXPECT_TRUE(dispatch::isMainThread());

  std::vector<int> order;
  std::atomic<bool> offMainSawCurrent{true};
  for (int i = 0; i < 5; ++i) dispatch::postToMain([&order, i] { order.push_back(i); });
  std::thread other([&] {
    offMainSawCurrent = dispatch::isMainThread();
    for (int i = 5; i < 10; ++i) dispatch::postToMain([&order, i] { order.push_back(i); });
  });
  other.join();
  bool ranOnQueue = false;
  dispatch::postToMain([&] { ranOnQueue = dispatch::Queue::current() == queue.get(); });
  ASSERT_TRUE(waitFor([&] { return order.size() == 10 && ranOnQueue; }));
  EXPECT_FALSE(offMainSawCurrent);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(KitTest, SyncFromAnotherThreadRunsOnTheGuiThread) {
  std::atomic<bool> onMain{false};
  std::atomic<bool> done{false};
  std::thread other([&] {
    dispatch::mainQueue()->sync([&] { onMain = dispatch::isMainThread(); });
    done = true;
  });
  EXPECT_TRUE(waitFor([&] { return done.load(); }));
  other.join();
  EXPECT_TRUE(onMain);
}

TEST_F(KitTest, ClosedQueueDropsTasks) {
  QtMainQueue queue("closing");
  bool ran = false;
  queue.async([&] { ran = true; });
  queue.close();
  queue.async([&] { ran = true; });
  QCoreApplication::processEvents();
  QTest::qWait(10);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(queue.isCurrent());
}

TEST_F(KitTest, UrlOpenerPassesOnlyWebAndMailAddresses) {
  struct Case {
    const char* url;
    bool open;
  } cases[] = {
      {"https://example.com/a?b=c", true},  {"http://example.com", true},
      {"HTTPS://EXAMPLE.COM", true},        {"mailto:help@example.com", true},
      {"", false},                          {"example.com", false},
      {"file:///etc/passwd", false},        {"javascript:alert(1)", false},
      {"http://", false},                   {"mailto:", false},
      {"ftp://example.com/x", false},       {"https://exa mple.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(QtUrlOpener::isOpenable(c.url), c.open) << c.url;
}

TEST_F(KitTest, UnregisteredScreenIsLoggedAndNothingOpens) {
  LogCapture log;
  ScreenRegistry registry;
  QWidget parent;
  EXPECT_FALSE(registry.shop.registered());
  EXPECT_EQ(registry.shop.make(&parent), nullptr);
  EXPECT_TRUE(log.contains("screen not built: shop"));
  EXPECT_EQ(registry.webWindow.make(WebWindowRequest{}), nullptr);
  EXPECT_TRUE(log.contains("screen not built: web window"));

  registry.shop.set([](QWidget* p) { return new QWidget(p); });
  QWidget* made = registry.shop.make(&parent);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->parentWidget(), &parent);
}

TEST_F(KitTest, BlockLessAlertLandsOnTheMainWindowWhenNoWindowIsActive) {
  QWidget main;
  main.resize(300, 200);
  setMainWindow(&main);  // set but never activated: the offscreen platform has no active window
  ASSERT_EQ(QApplication::activeWindow(), nullptr);
  showAlertWithTitle("Title", "");
  auto boxes = openBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->parentWidget(), &main);
  EXPECT_EQ(boxes[0]->windowModality(), Qt::WindowModal);
  EXPECT_EQ(boxes[0]->text(), "Title");
  EXPECT_TRUE(boxes[0]->informativeText().isEmpty());  // an empty message is left out
}

TEST_F(KitTest, AlertWithBlockWaitsForTheAnswerAndRunsTheBlockOnYesOnly) {
  for (bool chooseYes : {true, false}) {
    bool ran = false;
    bool answered = false;
    QTimer::singleShot(0, [&] {
      auto boxes = openBoxes();
      ASSERT_EQ(boxes.size(), 1u);
      const QString want = L10n::text(chooseYes ? "yes_button" : "cancel");
      for (QAbstractButton* b : boxes[0]->buttons()) {
        if (b->text() == want) {
          answered = true;
          b->click();
        }
      }
    });
    showAlertWithTitle("Sure?", "Really", [&] { ran = true; });
    EXPECT_TRUE(answered);  // returned only after the answer
    EXPECT_EQ(ran, chooseYes);
  }
}

TEST_F(KitTest, WindowAlertGoesToTheWindowTakenAtStart) {
  QWidget main;
  QWidget other;
  setMainWindow(&main);
  QtAlertSheetPresenter presenter;
  // Nothing is active: the main window is taken.
  auto alert = presenter.keyWindowAlert();
  alert("failed to start");
  auto boxes = openBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->parentWidget(), &main);
  EXPECT_EQ(boxes[0]->informativeText(), "failed to start");
  closeBoxes();

  // A window taken at the start that is gone by the time of the alert: the main window.
  auto* gone = new QWidget;
  gone->show();
  gone->activateWindow();
  QApplication::setActiveWindow(gone);
  auto late = presenter.keyWindowAlert();
  delete gone;
  late("later");
  boxes = openBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->parentWidget(), &main);
}

TEST_F(KitTest, SheetAnswersTheFirstButton) {
  QWidget main;
  setMainWindow(&main);
  QtAlertSheetPresenter presenter;
  long response = 0;
  presenter.showSheet(std::string("t"), std::nullopt, [&](long r) { response = r; });
  auto boxes = openBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->parentWidget(), &main);
  boxes[0]->buttons().front()->click();
  EXPECT_TRUE(waitFor([&] { return response == 1000; }));
}

}  // namespace
