#pragma once
// The signed-in face of the main window: a dark bar of 100 on the left with the logo and one
// image button with a caption per item, and to its right the screen of the selected item. Each
// screen keeps its state while the menu lives. The shop request (TsUserCenterTopupNotification)
// brings the window to the front and selects the shop.
#include <QAbstractButton>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "ui/Sections/Root/TsMenuItem.h"

class QPushButton;

class TsMenuViewController : public QWidget {
  Q_OBJECT
 public:
  explicit TsMenuViewController(std::vector<TsMenuItem> items, QWidget* parent = nullptr);
  ~TsMenuViewController() override;

  const std::vector<TsMenuItem>& menuItems() const { return items_; }
  int menuIndex() const { return menuIndex_; }
  // Highlights the item and shows its screen; the index already selected, or one out of range,
  // changes nothing.
  void selectMenuAtIndex(int index);
  void menuButtonClicked(QAbstractButton* button);
  void closeButtonClicked();
  void shutdownButtonClicked();
  // Raises the window and selects the shop item (when the menu has one).
  void showShop();

  QWidget* menuBar() const { return menuBar_; }
  QWidget* menuContainer() const { return menuContainer_; }
  QWidget* containerView() const { return containerView_; }
  QLabel* logoImageView() const { return logoImageView_; }
  QAbstractButton* shutdownButton() const { return shutdownButton_; }
  QAbstractButton* closeButton() const;
  const std::vector<QAbstractButton*>& barButtons() const { return barButtons_; }
  // The caption of item i (tag i + 100 in the menu container).
  QLabel* captionAt(int index) const;
  QWidget* contentViewController() const { return content_; }

  // What the shutdown button asks for (default: quit the application).
  void setTerminate(std::function<void()> terminate) { terminate_ = std::move(terminate); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void resetMenus();
  void layoutViews();

  std::vector<TsMenuItem> items_;
  int menuIndex_ = -1;
  std::vector<QAbstractButton*> barButtons_;
  std::vector<QLabel*> captions_;
  QWidget* menuBar_;
  QWidget* menuContainer_;
  QWidget* containerView_;
  QLabel* logoImageView_;
  std::unique_ptr<QAbstractButton> closeButton_;  // built, never placed in a view
  QAbstractButton* shutdownButton_;
  QWidget* content_ = nullptr;
  std::function<void()> terminate_;
};
