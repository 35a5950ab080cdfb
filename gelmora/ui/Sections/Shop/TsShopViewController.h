#pragma once
// An empty shop screen of 300 by 400; nothing opens it.
#include <QWidget>

class TsShopViewController : public QWidget {
  Q_OBJECT
 public:
  explicit TsShopViewController(QWidget* parent = nullptr) : QWidget(parent) { resize(300, 400); }
};
