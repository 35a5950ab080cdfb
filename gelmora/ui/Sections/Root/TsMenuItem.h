#pragma once
// One entry of the main window's menu: the screen it shows, its two images and its caption.
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

struct TsMenuItem {
  // Which screen this is ("acceleration", "shop", "profile"), for requests that name a screen.
  QString key;
  // The screen; the menu takes it over.
  QPointer<QWidget> viewController;
  QPixmap normalImage;
  // Shown while the item is selected, and while its button is pressed.
  QPixmap highlightImage;
  QString title;  // already localised
};
