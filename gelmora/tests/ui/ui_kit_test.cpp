// The UI kit: main queue, collaborators, alerts, registry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <thread>

#include "UiTestSupport.h"
#include "gelmora/Core/BHAppPackage.h"
#include "platform/dispatch/Queue.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/QtUrlOpener.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Application/Windows.h"
#include "ui/Kit/Alert.h"
#include "ui/Kit/BezierPath.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/HLImageAlertView.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsHyperlinkTextField.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/TsWindow.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"

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

bool near(QColor a, QColor b, int tolerance = 4) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override { UiTiming::setScale(0.01); }
  void TearDown() override {
    UiTiming::setScale(1);
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
      {"https://example.com/a?b=c", true},
      {"http://example.com", true},
      {"HTTPS://EXAMPLE.COM", true},
      {"mailto:help@example.com", true},
      {"", false},
      {"example.com", false},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"http://", false},
      {"mailto:", false},
      {"ftp://example.com/x", false},
      {"https://exa mple.com", false},
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

namespace {

// ---------------------------------------------------------------- texts, images, timing

TEST(KitTables, EveryKeyOfTheRootMenuAndTrayIsInEachTable) {
  const auto en = L10n::readTable("en");
  const auto zh = L10n::readTable("zh-Hans");
  ASSERT_FALSE(en.empty());
  const char* used[] = {"yes_button",  "cancel",       "acceleration_button",    "top_up_button",
                        "user_button", "start_button", "starting_button",        "stop_button",
                        "注销",        "登录",         "系统启动时运行 OxlaVPN", "联系我们",
                        "隐藏",        "打开",         "退出 OxlaVPN",           "sure_to_opt_out"};
  for (const char* key : used) {
    EXPECT_TRUE(en.count(key)) << "en: " << key;
    EXPECT_TRUE(zh.count(key)) << "zh-Hans: " << key;
  }
  // Both tables carry the same keys, so no language falls back to the key itself.
  for (const auto& [key, text] : en) EXPECT_TRUE(zh.count(key)) << "zh-Hans lacks " << key;
  for (const auto& [key, text] : zh) EXPECT_TRUE(en.count(key)) << "en lacks " << key;
}

TEST(KitTables, InstalledTableServesTheLanguageAndMissingKeysStandAsThemselves) {
  L10n::installTable("zh-CN");
  EXPECT_EQ(L10n::text("cancel"), QString::fromUtf8("取消"));
  EXPECT_EQ(L10n::text("no such key"), "no such key");
  L10n::installTable("en");
  EXPECT_EQ(L10n::text("cancel"), "Cancel");

  struct Case {
    const char* code;
    const char* table;
  } cases[] = {
      {"zh", "zh-Hans"}, {"zh-CN", "zh-Hans"}, {"zh-TW", "zh-Hans"}, {"ZH_hans", "zh-Hans"},
      {"en-US", "en"},   {"ja", "en"},         {"", "en"},           {"zhx", "en"}};
  for (const auto& c : cases) EXPECT_EQ(L10n::tableNameForLanguage(c.code), c.table) << c.code;
}

TEST(KitTables, EveryImageTheShellNamesIsPresent) {
  const char* names[] = {"ic_error",      "ic_logo",
                         "ic_close",      "ic_close_highlighted",
                         "ic_exit",       "ic_exit_highlighted",
                         "ic_accelerate", "ic_accelerate_highlighted",
                         "topup",         "topup_highlighted",
                         "ic_more",       "ic_more_highlighted",
                         "ic_status",     "ic_status_disconnected",
                         "ic_status_busy"};
  for (const char* name : names) {
    EXPECT_TRUE(Images::exists(name)) << name;
    EXPECT_FALSE(Images::named(name).isNull()) << name;
  }
  LogCapture log;
  EXPECT_TRUE(Images::named("no_such_image").isNull());
  EXPECT_TRUE(log.contains("image missing: no_such_image"));
}

TEST(KitTables, TimeScaleAcceptsOnlyPositiveNumbers) {
  struct Case {
    const char* text;
    double scale;
  } cases[] = {{nullptr, 1}, {"", 1},    {"0.01", 0.01}, {"2", 2},   {"0", 1},
               {"-1", 1},    {"abc", 1}, {"1x", 1},      {"nan", 1}, {"inf", 1}};
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(UiTiming::parseScale(c.text), c.scale) << (c.text ? c.text : "(unset)");
  }
  UiTiming::setScale(0.01);
  EXPECT_EQ(UiTiming::ms(0.3), 3);
  UiTiming::setScale(-5);
  EXPECT_EQ(UiTiming::ms(0.3), 300);
}

// ---------------------------------------------------------------- view helpers and paths

TEST_F(KitTest, GeometryHelpersReadAndMoveTheFrame) {
  QWidget parent;
  parent.resize(400, 300);
  QWidget v(&parent);
  v.setGeometry(10, 20, 100, 50);
  EXPECT_EQ(Positioning::top(&v), Positioning::y(&v));
  EXPECT_EQ(Positioning::bottom(&v), 70);
  EXPECT_EQ(Positioning::right(&v), 110);
  Positioning::setRight(&v, 300);
  EXPECT_EQ(v.x(), 200);
  Positioning::setBottom(&v, 300);
  EXPECT_EQ(v.y(), 250);
  Positioning::setCenterX(&v, 100);
  EXPECT_EQ(v.x(), 50);
  EXPECT_EQ(v.size(), QSize(100, 50));
  Positioning::centerToParent(&v);
  EXPECT_EQ(v.pos(), QPoint(150, 125));
  QWidget orphan;
  orphan.move(7, 8);
  Positioning::centerToParent(&orphan);  // no parent: nothing happens
  EXPECT_EQ(orphan.pos(), QPoint(7, 8));
}

TEST_F(KitTest, LastSubviewTakesTheFirstAmongEquals) {
  QWidget v;
  EXPECT_EQ(Positioning::lastSubviewOnX(&v), nullptr);
  QWidget a(&v), b(&v), c(&v);
  EXPECT_EQ(Positioning::lastSubviewOnX(&v), &a);
  b.move(0, 40);
  c.move(30, 40);
  EXPECT_EQ(Positioning::lastSubviewOnX(&v), &c);
  EXPECT_EQ(Positioning::lastSubviewOnY(&v), &b);
}

TEST_F(KitTest, TextValueOfNoneIsEmpty) {
  QLineEdit field("old");
  setTextValue(&field, std::nullopt);
  EXPECT_EQ(textValue(&field), "");
  setTextValue(&field, QString("new"));
  EXPECT_EQ(textValue(&field), "new");
}

TEST_F(KitTest, QuartzPathClosesAnOpenFigureOnce) {
  auto lastPoint = [](const QPainterPath& p) {
    const auto e = p.elementAt(p.elementCount() - 1);
    return QPointF(e.x, e.y);
  };
  EXPECT_FALSE(quartzPath(BezierPath{}).has_value());

  BezierPath open;
  open.moveTo({0, 0}).lineTo({10, 0}).lineTo({10, 10});
  auto closed = quartzPath(open);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->elementCount(), 4);  // a line back to the start was added
  EXPECT_EQ(lastPoint(*closed), QPointF(0, 0));
  EXPECT_EQ(quartzPathNoClose(open)->elementCount(), 3);

  BezierPath explicitClose = open;
  explicitClose.closePath();
  EXPECT_EQ(quartzPath(explicitClose)->elementCount(), 4);  // not closed a second time

  BezierPath moveOnly;
  moveOnly.moveTo({5, 5});
  EXPECT_EQ(quartzPath(moveOnly)->elementCount(), 1);

  BezierPath curve;
  curve.moveTo({0, 0}).curveTo({10, 0}, {0, 10}, {10, 10});
  auto c = quartzPath(curve);
  EXPECT_EQ(lastPoint(*c), QPointF(0, 0));
}

// ---------------------------------------------------------------- flat button

// The widget alone, over transparency.
QImage render(QWidget& w) {
  QImage img(w.size(), QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  w.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
  return img;
}

TEST_F(KitTest, FlatButtonIsAGradientPillThatDarkensWhilePressed) {
  TsFlatButton button;
  button.resize(192, 44);
  const TsStyleSheet& style = app().style();
  QImage img = render(button);
  EXPECT_TRUE(near(img.pixelColor(2, 22), style.gradientDark()));
  EXPECT_TRUE(near(img.pixelColor(189, 22), style.gradientLight()));
  EXPECT_EQ(img.pixelColor(1, 1).alpha(), 0);  // radius 22: the corner is outside the pill

  button.setDown(true);
  img = render(button);
  EXPECT_TRUE(near(img.pixelColor(189, 22), style.gradientDark()));
  button.setDown(false);

  button.setOnlyBorder(true);
  img = render(button);
  EXPECT_EQ(img.pixelColor(96, 22).alpha(), 0);  // only the outline is drawn
  EXPECT_GT(img.pixelColor(96, 1).alpha(), 200);
}

TEST_F(KitTest, FlatButtonTitleSetBeforeOrAfterTheFirstDrawShows) {
  auto whitePixels = [](const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
      for (int x = 40; x < img.width() - 40; ++x) {
        const QColor c = img.pixelColor(x, y);
        if (c.red() > 230 && c.green() > 230 && c.blue() > 230) ++n;
      }
    }
    return n;
  };
  TsFlatButton button;
  button.resize(192, 44);
  button.setTitle("Start");
  const QImage first = render(button);
  EXPECT_GT(whitePixels(first), 20);
  button.setTitle("Stop now");
  const QImage second = render(button);
  EXPECT_GT(whitePixels(second), 20);
  EXPECT_NE(first, second);
}

TEST_F(KitTest, DisabledFlatButtonFadesToHalfAndBack) {
  QWidget window;
  TsFlatButton button(&window);
  window.show();
  button.setEnabled(false);
  EXPECT_TRUE(waitFor([&] { return button.alpha() == 0.5; }));
  button.setEnabled(true);
  EXPECT_TRUE(waitFor([&] { return button.alpha() == 1.0; }));
}

TEST_F(KitTest, FlatButtonWithAPlainColourHidesTheGradient) {
  TsFlatButton button;
  button.resize(192, 44);
  button.setBackgroundColor(QColor(251, 22, 88));
  button.setCornerRadius(22);
  const QImage img = render(button);
  EXPECT_TRUE(near(img.pixelColor(8, 22), QColor(251, 22, 88)));
  EXPECT_TRUE(near(img.pixelColor(183, 22), QColor(251, 22, 88)));
}

// ---------------------------------------------------------------- layer flat button

class DRFlatButtonTest : public KitTest {
 protected:
  void SetUp() override {
    KitTest::SetUp();
    window.resize(300, 200);
    beneath = new QWidget(&window);
    beneath->setGeometry(0, 0, 300, 200);
    beneath->installEventFilter(&pressesBeneath);
    button = new DRFlatButton(&window);
    button->setGeometry(50, 50, 120, 40);
    button->setTitle("Line");
    QObject::connect(button, &QAbstractButton::clicked, [this] { ++clicks; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  QPoint inside() const { return button->geometry().center(); }
  QPoint outside() const { return QPoint(250, 150); }

  struct PressCounter : QObject {
    int presses = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::MouseButtonPress) ++presses;
      return false;
    }
  } pressesBeneath;
  QWidget window;
  QWidget* beneath = nullptr;
  DRFlatButton* button = nullptr;
  int clicks = 0;
};

TEST_F(DRFlatButtonTest, PressMoveOutReleaseIsNoClickAndRestoresTheState) {
  QWindow* w = window.windowHandle();
  for (bool momentary : {false, true}) {
    button->setMomentary(momentary);
    const int before = button->state();
    QTest::mousePress(w, Qt::LeftButton, {}, inside());
    EXPECT_NE(button->state(), before);
    QTest::mouseMove(w, outside());
    QTest::mouseRelease(w, Qt::LeftButton, {}, outside());
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->state(), before);

    // Released outside with no move seen on the way: cancelled all the same.
    QTest::mousePress(w, Qt::LeftButton, {}, inside());
    QTest::mouseRelease(w, Qt::LeftButton, {}, outside());
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->state(), before);
  }
}

TEST_F(DRFlatButtonTest, ClickTogglesOrFlashesByMomentary) {
  QWindow* w = window.windowHandle();
  QTest::mouseClick(w, Qt::LeftButton, {}, inside());
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(button->state(), 1);  // a toggle stays on
  QTest::mouseClick(w, Qt::LeftButton, {}, inside());
  EXPECT_EQ(button->state(), 0);
  button->setMomentary(true);
  QTest::mousePress(w, Qt::LeftButton, {}, inside());
  EXPECT_EQ(button->state(), 1);  // on while pressed
  QTest::mouseRelease(w, Qt::LeftButton, {}, inside());
  EXPECT_EQ(button->state(), 0);
  EXPECT_EQ(clicks, 3);
}

TEST_F(DRFlatButtonTest, DisabledButtonNeitherReactsNorCatchesClicks) {
  button->setEnabled(false);
  QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, inside());
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(button->state(), 0);
  EXPECT_EQ(pressesBeneath.presses, 1);  // the click reached what lies beneath
}

TEST_F(DRFlatButtonTest, ColourChangesAnimateOnlyWhenTheColourDiffers) {
  UiTiming::setScale(1);  // keep the animations running while they are counted
  button->setTitleNormalColor(QColor(Qt::white));
  EXPECT_EQ(button->runningAnimations(), 1);
  button->setTitleNormalColor(QColor(Qt::white));  // the same target again
  EXPECT_EQ(button->runningAnimations(), 1);
  EXPECT_TRUE(waitFor([&] { return button->runningAnimations() == 0; }));
  EXPECT_EQ(button->shownColor(DRFlatButton::TitleColor), QColor(Qt::white));
  button->setTitleNormalColor(QColor(Qt::white));  // equal to what is shown: nothing starts
  EXPECT_EQ(button->runningAnimations(), 0);

  // Two quick changes of state: the first animation is gone before the second starts.
  button->setTitleHighlightColor(QColor(Qt::white));
  button->setBackgroundHighlightColor(QColor(Qt::red));
  button->setState(1);
  EXPECT_EQ(button->runningAnimations(), 1);
  button->setState(0);
  EXPECT_EQ(button->runningAnimations(), 0);  // back to the shown colour: nothing to animate
  EXPECT_NE(button->shownColor(DRFlatButton::Background), QColor(Qt::red));
}

TEST_F(DRFlatButtonTest, ImageAndTitleLayersFollowTheImagePosition) {
  QPixmap icon(20, 20);
  icon.fill(Qt::black);
  EXPECT_FALSE(button->imageOrigin());  // no image, no image layer
  EXPECT_TRUE(button->titleRect());
  button->setImage(icon);
  button->setImagePosition(DRFlatButton::ImageOnly);
  EXPECT_TRUE(button->imageOrigin());
  EXPECT_FALSE(button->titleRect());  // image only: no title layer
  EXPECT_EQ(*button->imageOrigin(), QPointF(50, 10));

  // Hugging: one centred group, twice the spacing between image and title.
  button->setImagePosition(DRFlatButton::ImageLeft);
  button->setImageHugsTitle(true);
  button->setSpacing(4);
  const QRectF title = *button->titleRect();
  EXPECT_NEAR(title.left() - (button->imageOrigin()->x() + 20), 8, 1);
  EXPECT_NEAR(button->imageOrigin()->x() + (title.right() - button->imageOrigin()->x()) / 2, 60,
              1.5);

  // A resize moves the title only.
  const QPointF imageBefore = *button->imageOrigin();
  button->resize(200, 40);
  EXPECT_EQ(*button->imageOrigin(), imageBefore);
  EXPECT_GT(button->titleRect()->left(), title.left() + 30);
  button->setSpacing(4);  // re-lays the image too
  EXPECT_GT(button->imageOrigin()->x(), imageBefore.x() + 30);
}

// ---------------------------------------------------------------- image alert overlay

TEST_F(KitTest, ImageAlertRunsOnlyTheBlocksItHasAndCentresAnew) {
  QWidget parent;
  parent.resize(600, 400);
  auto* overlay = new HLImageAlertView(&parent);
  int confirms = 0;
  overlay->configure(
      "New line", "Takes effect after the next start", Images::named("ic_error"), "Switch", "Keep",
      [&] { ++confirms; }, nullptr);
  overlay->show();
  EXPECT_EQ(overlay->geometry().center(), QPoint(299, 199));
  overlay->confirm();
  overlay->cancel();  // no block: nothing happens
  EXPECT_EQ(confirms, 1);
  EXPECT_FALSE(overlay->isHidden());  // the blocks decide about hiding, the overlay does not

  parent.resize(900, 700);
  overlay->show();
  EXPECT_EQ(overlay->geometry().center(), QPoint(449, 349));
}

TEST_F(KitTest, ImageAlertMessageKeepsAtMostTwoLines) {
  HLImageAlertView overlay;
  QString longText;
  for (int i = 0; i < 40; ++i) longText += "word ";
  overlay.configure("t", longText, QPixmap(), "a", "b", nullptr, nullptr);
  const QString shown = overlay.messageLabel()->text();
  EXPECT_EQ(shown.count('\n'), 1);
  EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
  overlay.configure("t", "one line", QPixmap(), "a", "b", nullptr, nullptr);
  EXPECT_EQ(overlay.messageLabel()->text(), "one line");
  overlay.configure("t", "first\nsecond\nthird", QPixmap(), "a", "b", nullptr, nullptr);
  EXPECT_TRUE(overlay.messageLabel()->text().startsWith("first\nsecond"));
  EXPECT_FALSE(overlay.messageLabel()->text().contains("third"));
}

// ---------------------------------------------------------------- input fields

TEST_F(KitTest, LoginFieldsHideSecretsAndShowAWhiteInsertionPointOnFocus) {
  QWidget window;
  window.resize(500, 200);
  auto* plain = new TsLoginTextField(Images::named("ic_error"), false, &window);
  auto* secret = new TsLoginTextField(Images::named("ic_error"), true, &window);
  plain->setGeometry(0, 0, 500, 45);
  secret->setGeometry(0, 60, 500, 45);
  EXPECT_EQ(plain->textField()->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(secret->textField()->echoMode(), QLineEdit::Password);
  EXPECT_NE(dynamic_cast<TsSecureTextField*>(secret->textField()), nullptr);

  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  // Icon 21 at the left, field 10 to its right ending 200 from the right edge, line at the foot.
  EXPECT_EQ(plain->iconView()->geometry(), QRect(0, 12, 21, 21));
  EXPECT_EQ(plain->textField()->geometry(), QRect(31, 12, 269, 21));
  EXPECT_EQ(plain->bottomLine()->geometry(), QRect(0, 44, 500, 1));
  QApplication::setActiveWindow(&window);
  secret->textField()->setEnabled(false);  // a disabled field refuses the focus
  const QColor before = secret->textField()->insertionPointColor();
  secret->textField()->setFocus();
  plain->textField()->setFocus();
  EXPECT_TRUE(waitFor([&] { return plain->textField()->hasFocus(); }));
  EXPECT_EQ(plain->textField()->insertionPointColor(), QColor(Qt::white));
  EXPECT_EQ(secret->textField()->insertionPointColor(), before);
}

// ---------------------------------------------------------------- hyperlink text

TEST_F(KitTest, HyperlinkFieldOpensTheLinkUnderTheClickOnly) {
  RecordingUrlOpener opener;
  TsHyperlinkTextField field(nullptr, &opener);
  field.resize(150, 200);
  EXPECT_EQ(field.focusPolicy(), Qt::NoFocus);

  field.setText("No links here at all");
  EXPECT_FALSE(field.hyperlinkInfos().has_value());
  QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(10, 5));
  EXPECT_TRUE(opener.opened.empty());

  // A link that wraps over two lines: two records, both open the same address.
  field.setHtml(
      "Read <a href=\"https://example.com/terms\">the terms of service and the "
      "privacy notice</a> first.");
  auto infos = field.hyperlinkInfos();
  ASSERT_TRUE(infos.has_value());
  ASSERT_GE(infos->size(), 2u);
  for (const auto& info : *infos) {
    EXPECT_EQ(info.url, "https://example.com/terms");
    QTest::mouseClick(&field, Qt::LeftButton, {}, info.rect.center().toPoint());
  }
  EXPECT_EQ(opener.opened.size(), infos->size());
  for (const auto& url : opener.opened) EXPECT_EQ(url, "https://example.com/terms");

  // Outside every link: nothing.
  opener.opened.clear();
  QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(2, 190));
  EXPECT_TRUE(opener.opened.empty());
}

TEST_F(KitTest, HyperlinkTextWithoutAFontIsMeasuredInTheFieldsFont) {
  TsHyperlinkTextField field;
  field.resize(600, 200);
  QFont big = field.font();
  big.setPixelSize(30);
  field.setFont(big);
  field.setHtml("<a href=\"https://example.com\">x</a>");
  auto infos = field.hyperlinkInfos();
  ASSERT_TRUE(infos);
  EXPECT_NEAR(infos->front().rect.height(), QFontMetricsF(big).height(), 3);
}

// ---------------------------------------------------------------- window

TEST_F(KitTest, WindowIs950By600CentredAndOnlyHidesOnClose) {
  QPointer<TsWindow> window = new TsWindow;
  EXPECT_EQ(window->size(), QSize(950, 600));
  const QSize screen = QGuiApplication::primaryScreen()->size();
  EXPECT_EQ(TsWindow::centerFrame().topLeft(),
            QPoint(screen.width() / 2 - 475, screen.height() / 2 - 300));
  auto* content = new QWidget;
  window->setContentView(content);
  window->show();
  EXPECT_EQ(content->geometry(), QRect(0, 0, 950, 600));
  window->close();
  QCoreApplication::processEvents();
  ASSERT_TRUE(window);  // kept
  EXPECT_FALSE(window->isVisible());
  window->show();
  EXPECT_TRUE(window->isVisible());
  delete window.data();
}

}  // namespace
