// The acceleration view's looks and animations, at 1 % of the design's durations.
#include <cmath>

#include "AccelerateTestSupport.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Accelerate/TsAccelerateScaleView.h"

using gelmora::ui::test::waitFor;
using V = TsAccelerateView;

namespace {

class AccelerateViewTest : public AccelerateFixture {
 protected:
  void SetUp() override {
    AccelerateFixture::SetUp();
    view = std::make_unique<TsAccelerateView>(viewDependencies());
    view->show();
  }
  void TearDown() override {
    view.reset();
    AccelerateFixture::TearDown();
  }
  bool shown(QWidget* w) { return !w->isHidden(); }
  std::unique_ptr<TsAccelerateView> view;
};

TEST_F(AccelerateViewTest, PercentTextsAndDurations) {
  EXPECT_EQ(V::percentText(0), " 0%");
  EXPECT_EQ(V::percentText(0.98), "98%");
  EXPECT_EQ(V::percentText(1.0), "100%");
  EXPECT_EQ(V::percentText(0.054), " 5%");
  EXPECT_NEAR(V::percentDurationSeconds(0.98, 1.0), 0.06, 1e-9);
  EXPECT_NEAR(V::percentDurationSeconds(0.5, 1.0), 1.5, 1e-9);
  EXPECT_NEAR(V::percentDurationSeconds(0, 0.98), 2.94, 1e-9);
}

TEST_F(AccelerateViewTest, TickEndPointsForA300Dial) {
  auto* scale = view->scaleView();
  ASSERT_EQ(scale->width(), 300);
  const auto& ticks = scale->ticks();
  ASSERT_EQ(ticks.size(), 120u);
  struct Case {
    size_t i;
    QPointF outer, inner;
  } cases[] = {{0, {10, 150}, {40, 150}},
               {30, {150, 10}, {150, 40}},
               {60, {290, 150}, {260, 150}},
               {90, {150, 290}, {150, 260}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.i);
    EXPECT_NEAR(ticks[c.i].p1().x(), c.outer.x(), 1e-9);
    EXPECT_NEAR(ticks[c.i].p1().y(), c.outer.y(), 1e-9);
    EXPECT_NEAR(ticks[c.i].p2().x(), c.inner.x(), 1e-9);
    EXPECT_NEAR(ticks[c.i].p2().y(), c.inner.y(), 1e-9);
  }
  EXPECT_DOUBLE_EQ(scale->discRadius(), 110);
  scale->resize(200, 200);  // the path follows the size
  EXPECT_NEAR(scale->ticks()[0].p1().x(), 10, 1e-9);
  EXPECT_DOUBLE_EQ(scale->discRadius(), 60);
}

TEST_F(AccelerateViewTest, AnimatedStartClimbsTurnsAndFinishes) {
  EXPECT_EQ(view->state(), V::Idle);
  EXPECT_TRUE(shown(view->noAccelerateView()));
  EXPECT_FALSE(shown(view->percentLabel()));
  view->startAcceleratingAnimation();  // idle: nothing
  EXPECT_FALSE(view->scaleView()->rotating());

  view->changeState(V::Starting, true);
  EXPECT_EQ(view->state(), V::Starting);
  EXPECT_FALSE(view->goButton()->isEnabled());
  EXPECT_FALSE(view->lineButton()->isEnabled());
  EXPECT_EQ(view->goButton()->title(), gelmora::ui::L10n::text("starting_button"));
  ASSERT_TRUE(waitFor([&] { return view->percent() >= 0.98 - 1e-9; }));
  EXPECT_TRUE(view->scaleView()->rotating());
  EXPECT_DOUBLE_EQ(view->scaleView()->lightOpacity(), 1.0);
  EXPECT_FALSE(shown(view->noAccelerateView()));
  EXPECT_EQ(view->percentLabel()->property("plainText").toString(), "98%");

  view->changeState(V::Accelerated, true);
  ASSERT_TRUE(view->percentAnimation());
  EXPECT_NEAR(view->percentAnimation()->property("designSeconds").toDouble(), 0.06, 1e-9);
  ASSERT_TRUE(waitFor([&] { return shown(view->finishView()); }));
  EXPECT_DOUBLE_EQ(view->percent(), 1.0);
  EXPECT_FALSE(view->scaleView()->rotating());
  EXPECT_FALSE(shown(view->percentLabel()));
  EXPECT_TRUE(view->goButton()->isEnabled());
  EXPECT_FALSE(view->lineButton()->isEnabled());
  EXPECT_EQ(view->goButton()->title(), gelmora::ui::L10n::text("stop_button"));
  // The result line asks where the address is 0.8 s (scaled) later.
  ASSERT_TRUE(waitFor([&] { return geoLookups == 1; }));
  geo.sendNext({std::nullopt, std::nullopt, "Japan", "Tokyo"});
  EXPECT_EQ(view->finishView()->locationTF()->text(), "IP: Japan-Tokyo");
}

TEST_F(AccelerateViewTest, StopSoonAfterStartCancelsTheClimb) {
  view->changeState(V::Starting, true);
  EXPECT_TRUE(view->climbPending());
  view->changeState(V::Idle, true);
  EXPECT_FALSE(view->climbPending());
  EXPECT_DOUBLE_EQ(view->percent(), 0);
  // Well past the delay, still nothing climbs and the idle look is back.
  ASSERT_TRUE(
      waitFor([&] { return shown(view->noAccelerateView()) && !shown(view->percentLabel()); }));
  QTest::qWait(gelmora::ui::UiTiming::ms(0.3) * 4 + 20);
  EXPECT_DOUBLE_EQ(view->percent(), 0);
  EXPECT_FALSE(view->percentAnimation());
  EXPECT_EQ(view->goButton()->title(), gelmora::ui::L10n::text("start_button"));
}

TEST_F(AccelerateViewTest, StatesWithoutAnimationAndRepeats) {
  view->changeState(V::Starting, false);
  EXPECT_TRUE(shown(view->percentLabel()));
  EXPECT_FALSE(shown(view->noAccelerateView()));
  EXPECT_FALSE(view->scaleView()->rotating());  // no turning without the animation
  EXPECT_FALSE(view->climbPending());

  view->changeState(V::Accelerated, false);
  EXPECT_DOUBLE_EQ(view->percent(), 1.0);
  EXPECT_TRUE(shown(view->finishView()));
  EXPECT_EQ(view->goButton()->title(), gelmora::ui::L10n::text("stop_button"));
  view->changeState(V::Accelerated, true);  // same state: nothing, whatever the flag
  EXPECT_FALSE(view->percentAnimation());
  EXPECT_TRUE(shown(view->finishView()));

  view->changeState(V::Busy, false);
  EXPECT_FALSE(view->goButton()->isEnabled());
  EXPECT_FALSE(shown(view->finishView()));
  view->changeState(4, false);  // unknown: stored, only the common step
  EXPECT_EQ(view->state(), 4);
  EXPECT_TRUE(view->goButton()->isEnabled());

  view->changeState(V::Idle, false);
  EXPECT_DOUBLE_EQ(view->percent(), 0);
  EXPECT_TRUE(shown(view->noAccelerateView()));
  EXPECT_TRUE(view->lineButton()->isEnabled());
}

TEST_F(AccelerateViewTest, IdleDuringTheMoveToFullRunsItsCompletionThenIdles) {
  view->changeState(V::Starting, false);
  view->changeState(V::Accelerated, true);
  ASSERT_TRUE(view->percentAnimation());
  int replaced = 0;
  view->updateAcceleratingPercent(0.5, true, [&](bool finished) { replaced += finished; });
  view->updateAcceleratingPercent(0.7, true, {});
  EXPECT_EQ(replaced, 1);  // a replaced move still reports, as finished
  view->changeState(V::Idle, false);
  EXPECT_FALSE(view->percentAnimation());
  EXPECT_DOUBLE_EQ(view->percent(), 0);
  EXPECT_FALSE(shown(view->finishView()));
  EXPECT_EQ(view->goButton()->title(), gelmora::ui::L10n::text("start_button"));
}

TEST_F(AccelerateViewTest, TopButtonsAndNewsLink) {
  view->topButton(1)->click();  // no block: nothing
  std::vector<int> pressed;
  view->topBtnBlock = [&](int i) { pressed.push_back(i); };
  for (int i = 0; i < 3; ++i) view->topButton(i)->click();
  EXPECT_EQ(pressed, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(view->topButton(2)->geometry(), QRect(700, 15, 16, 16));
  EXPECT_EQ(view->trafficLabel()->geometry().size(), QSize(192, 20));
  EXPECT_EQ(view->trafficLabel()->y(), view->goButton()->geometry().bottom() + 1 + 6);
}

}  // namespace
