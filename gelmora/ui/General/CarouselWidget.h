#pragma once
// The picture carousel on a CarouselModel: one view per item from the data source, laid out by
// the model, dragged with the mouse and slid to a page with a UiTiming-scaled animation. A click
// on an item at rest reports it; a click while the strip moves reports nothing.
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>
#include <vector>

#include "ui/General/CarouselModel.h"

namespace gelmora::ui {

class CarouselWidget : public QWidget {
  Q_OBJECT
 public:
  // Makes the view of item `index`; `reusing` is that item's earlier view or none. The
  // carousel takes ownership of what it answers.
  using ViewForItem = std::function<QWidget*(int index, QWidget* reusing)>;

  explicit CarouselWidget(QWidget* parent = nullptr);
  ~CarouselWidget() override;

  void setNumberOfItems(std::function<int()> count) { numberOfItems_ = std::move(count); }
  void setViewForItem(ViewForItem make) { viewForItem_ = std::move(make); }
  // Asks the data source again; the first item becomes current.
  void reloadData();

  const CarouselModel& model() const { return model_; }
  int numberOfItems() const { return model_.count(); }
  int currentItemIndex() const { return model_.currentIndex(); }
  bool isScrolling() const { return model_.isScrolling(); }
  // Whether a drag may move it (2 items or more).
  bool scrollEnabled() const { return model_.scrollEnabled(); }
  QWidget* itemViewAtIndex(int index) const;
  // Slides to the item (no animation: at once).
  void scrollToItemAtIndex(int index, bool animated);

 Q_SIGNALS:
  void didSelectItemAtIndex(int index);
  void currentItemIndexDidChange(int index);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void layoutItems();
  void setOffsetChanged();

  CarouselModel model_;
  std::function<int()> numberOfItems_;
  ViewForItem viewForItem_;
  std::vector<QPointer<QWidget>> views_;
  QVariantAnimation slide_;
  bool pressed_ = false;
  bool moved_ = false;
  QPointF pressPos_;
  QPointF lastPos_;
  int lastIndex_ = -1;
};

}  // namespace gelmora::ui
