#pragma once
// A caption row of the account page: a title, an info text right of it and a one-pixel line
// along the bottom. Made with a title, both texts show that title until the info is set.
#include <QLabel>
#include <QWidget>

class TsUserInfoLabel : public QWidget {
  Q_OBJECT
 public:
  explicit TsUserInfoLabel(QWidget* parent = nullptr);
  TsUserInfoLabel(const QString& title, QWidget* parent);

  QLabel* titleLabel() const { return titleLabel_; }
  QLabel* infoLabel() const { return infoLabel_; }
  QWidget* bottomLine() const { return bottomLine_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void build(const QString& title);
  QLabel* titleLabel_ = nullptr;
  QLabel* infoLabel_ = nullptr;
  QWidget* bottomLine_ = nullptr;
};
