// The picture carousel: the model's geometry and paging for 0, 1, 2 and 5 items, and the widget
// under the mouse (a drag turns one page, a click while it slides selects nothing).
#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/General/CarouselModel.h"
#include "ui/General/CarouselWidget.h"
#include "ui/Kit/UiTiming.h"

using gelmora::ui::CarouselModel;
using gelmora::ui::CarouselWidget;
using gelmora::ui::UiTiming;
using gelmora::ui::test::waitFor;

namespace {

TEST(CarouselModel, PagesWrapAndScrollFromTwoItems) {
  struct Case {
    int count;
    bool scrolls;
    int afterLeftDrag;   // current index after dragging one page to the left
    int afterRightDrag;  // ... and one page to the right from the start
  } cases[] = {{0, false, -1, -1}, {1, false, 0, 0}, {2, true, 1, 1}, {5, true, 1, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    CarouselModel m;
    m.setCount(c.count);
    EXPECT_EQ(m.scrollEnabled(), c.scrolls);
    EXPECT_EQ(m.currentIndex(), c.count ? 0 : -1);
    EXPECT_FALSE(m.isScrolling());

    m.beginDrag();
    m.dragBy(-200);  // a bit over a third of a page
    EXPECT_EQ(m.isScrolling(), c.scrolls);
    m.startSlide(m.endDrag());
    m.finishSlide();
    EXPECT_EQ(m.currentIndex(), c.afterLeftDrag);

    m.setCount(c.count);
    m.beginDrag();
    m.dragBy(+200);
    m.startSlide(m.endDrag());
    m.setSlideProgress(0.5);
    EXPECT_EQ(m.isSliding(), c.scrolls);
    EXPECT_EQ(m.canSelect(), !c.scrolls && c.count > 0);
    m.setSlideProgress(1.0);
    EXPECT_FALSE(m.isScrolling());
    EXPECT_EQ(m.currentIndex(), c.afterRightDrag);
  }
}

TEST(CarouselModel, GeometryOfTheStrip) {
  CarouselModel m;
  m.setCount(5);
  EXPECT_DOUBLE_EQ(CarouselModel::kItemStep, 540.0);
  EXPECT_DOUBLE_EQ(m.centreOf(0), 0.0);
  EXPECT_DOUBLE_EQ(m.centreOf(1), 540.0);
  EXPECT_DOUBLE_EQ(m.centreOf(4), -540.0);  // wrapped to the left
  EXPECT_EQ(m.itemAt(0, 0), 0);
  EXPECT_EQ(m.itemAt(224, 99), 0);
  EXPECT_EQ(m.itemAt(250, 0), -1);  // the gap between two items
  EXPECT_EQ(m.itemAt(0, 101), -1);
  EXPECT_EQ(m.itemAt(-540, 0), 4);

  // A small drag springs back; a long one turns only one page.
  m.beginDrag();
  m.dragBy(-40);
  EXPECT_EQ(m.endDrag(), 0);
  m.setCount(5);
  m.beginDrag();
  m.dragBy(-5000);
  EXPECT_DOUBLE_EQ(m.offset(), 1.0);
  EXPECT_EQ(m.endDrag(), 1);

  // One item never moves.
  m.setCount(1);
  m.beginDrag();
  m.dragBy(-300);
  EXPECT_DOUBLE_EQ(m.offset(), 0.0);
  EXPECT_FALSE(m.isDragging());
}

class CarouselWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiTiming::setScale(0.01);
    carousel.resize(850, 220);
    carousel.setNumberOfItems([this] { return count; });
    carousel.setViewForItem([](int index, QWidget* reusing) -> QWidget* {
      auto* label = reusing ? static_cast<QLabel*>(reusing) : new QLabel;
      label->setText(QString::number(index));
      return label;
    });
  }
  void TearDown() override { UiTiming::setScale(1); }
  QPoint centre() const { return QPoint(425, 110); }
  void drag(int dx) {
    QTest::mousePress(&carousel, Qt::LeftButton, Qt::NoModifier, centre());
    for (int step = 1; step <= 4; ++step)
      QTest::mouseMove(&carousel, centre() + QPoint(dx * step / 4, 0));
    QTest::mouseRelease(&carousel, Qt::LeftButton, Qt::NoModifier, centre() + QPoint(dx, 0));
  }

  CarouselWidget carousel;
  int count = 3;
};

TEST_F(CarouselWidgetTest, DragTurnsOnePageAndClicksSelectOnlyAtRest) {
  carousel.reloadData();
  carousel.show();
  QSignalSpy selected(&carousel, &CarouselWidget::didSelectItemAtIndex);
  ASSERT_EQ(carousel.itemViewAtIndex(0)->geometry(), QRect(200, 10, 450, 200));

  drag(-300);
  ASSERT_TRUE(waitFor([&] { return !carousel.isScrolling(); }));
  EXPECT_EQ(carousel.currentItemIndex(), 1);
  EXPECT_EQ(carousel.itemViewAtIndex(1)->geometry(), QRect(200, 10, 450, 200));
  EXPECT_TRUE(selected.isEmpty());  // a drag is not a click

  // At rest a click selects the item under it.
  QTest::mouseClick(&carousel, Qt::LeftButton, Qt::NoModifier, centre());
  ASSERT_EQ(selected.count(), 1);
  EXPECT_EQ(selected.takeFirst().at(0).toInt(), 1);

  // While it slides, nothing (the slide at its full design length).
  UiTiming::setScale(1);
  carousel.scrollToItemAtIndex(2, true);
  ASSERT_TRUE(carousel.isScrolling());
  QTest::mouseClick(&carousel, Qt::LeftButton, Qt::NoModifier, centre());
  EXPECT_TRUE(selected.isEmpty());
  ASSERT_TRUE(waitFor([&] { return !carousel.isScrolling(); }));
  EXPECT_EQ(carousel.currentItemIndex(), 2);
}

TEST_F(CarouselWidgetTest, OneItemStaysAndNoneShowsNothing) {
  count = 1;
  carousel.reloadData();
  carousel.show();
  EXPECT_FALSE(carousel.scrollEnabled());
  drag(-300);
  EXPECT_FALSE(carousel.isScrolling());
  EXPECT_EQ(carousel.itemViewAtIndex(0)->geometry(), QRect(200, 10, 450, 200));

  count = 0;
  carousel.reloadData();
  EXPECT_EQ(carousel.numberOfItems(), 0);
  EXPECT_EQ(carousel.itemViewAtIndex(0), nullptr);
  QSignalSpy selected(&carousel, &CarouselWidget::didSelectItemAtIndex);
  QTest::mouseClick(&carousel, Qt::LeftButton, Qt::NoModifier, centre());
  EXPECT_TRUE(selected.isEmpty());
}

}  // namespace
