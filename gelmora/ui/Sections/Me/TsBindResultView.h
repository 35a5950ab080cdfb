#pragma once
// The binding result panel of the profile editor: a heading, the result message set by its
// owner, and close and confirm controls that both run the owner's block (nothing without one;
// neither hides the panel).
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>

#include "ui/Kit/TsFlatButton.h"

class TsBindResultView : public QWidget {
  Q_OBJECT
 public:
  explicit TsBindResultView(QWidget* parent = nullptr);

  QLabel* titleTF;
  QLabel* topTF;
  QLabel* confirmTF;
  QPushButton* closeButton;
  TsFlatButton* confirmButton;

  void setBlock(std::function<void()> block) { block_ = std::move(block); }
  const std::function<void()>& block() const { return block_; }

 public Q_SLOTS:
  void close();
  void confirm();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::function<void()> block_;
};
