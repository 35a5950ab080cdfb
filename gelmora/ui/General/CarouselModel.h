#pragma once
// The picture carousel's geometry and paging, without widgets: a flat, paged form of the rotary
// carousel. Items of 450 by 200 sit side by side with their centres 450 x 1.2 apart and wrap
// around; a drag moves the strip, and at its end the carousel slides to the next page in the
// drag's direction (at most one page) or back to where it was. It scrolls only with 2 items or
// more. Items may be selected only at rest.
#include <cmath>

namespace gelmora::ui {

class CarouselModel {
 public:
  static constexpr double kItemWidth = 450.0;
  static constexpr double kItemHeight = 200.0;
  static constexpr double kSpacing = 1.2;
  // Distance between the centres of neighbouring items, in pixels.
  static constexpr double kItemStep = kItemWidth * kSpacing;
  // Share of a page a drag must cover to turn the page.
  static constexpr double kPageThreshold = 0.1;
  // Seconds of the design for the slide to a page (scaled by UiTiming).
  static constexpr double kSlideSeconds = 0.4;

  // A new set of items; the first one is current, and any drag or slide ends.
  void setCount(int count);
  int count() const { return count_; }
  bool scrollEnabled() const { return count_ >= 2; }

  // The item at the centre (the nearest one while moving); -1 without items.
  int currentIndex() const;
  // Position of the strip in items (not wrapped).
  double offset() const { return offset_; }

  // Centre of item `index` relative to the view's centre, in pixels (wrapped so that every item
  // is at most half the strip away).
  double centreOf(int index) const;
  // The item whose frame holds the point (relative to the view's centre), -1 for none.
  int itemAt(double x, double y) const;

  // Dragging: `dx` in pixels, positive moves the strip to the right (towards earlier items). A
  // drag moves at most one page from where it began; without scrolling it moves nothing.
  void beginDrag();
  void dragBy(double dx);
  // Ends the drag and answers the page to slide to (the current index when not dragging).
  int endDrag();
  bool isDragging() const { return dragging_; }

  // Sliding from the present offset to page `target` by the shortest way round; progress goes
  // from 0 to 1. A slide to where the strip already is ends at once.
  void startSlide(int target);
  void setSlideProgress(double progress);
  void finishSlide();
  bool isSliding() const { return sliding_; }

  bool isScrolling() const { return dragging_ || sliding_; }
  // Whether a click may select an item now.
  bool canSelect() const { return count_ > 0 && !isScrolling(); }

 private:
  int wrap(long long index) const;

  int count_ = 0;
  double offset_ = 0;
  bool dragging_ = false;
  double dragStart_ = 0;
  bool sliding_ = false;
  double slideFrom_ = 0;
  double slideTo_ = 0;
};

}  // namespace gelmora::ui
