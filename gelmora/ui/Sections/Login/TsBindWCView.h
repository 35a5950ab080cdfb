#pragma once
// A suggestion to link a WeChat account: title, the user's name, an explanation, a button whose
// action its owner attaches, and a skip link that removes the panel. Nothing creates it yet.
// Designed at 400×500.
#include <QLabel>
#include <QWidget>

#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsFlatButton.h"

class TsUserController;

class TsBindWCView : public QWidget {
  Q_OBJECT
 public:
  // `user`: whose user name is shown; none is app().user().
  explicit TsBindWCView(QWidget* parent = nullptr, TsUserController* user = nullptr);

  TsFlatButton* confirmButton() const { return confirmButton_; }
  DRFlatButton* skipButton() const { return skipButton_; }
  QLabel* nameLabel() const { return name_; }
  QLabel* titleLabel() const { return title_; }
  QLabel* explanationLabel() const { return explanation_; }

  // Takes the panel out of its parent and deletes it.
  void skipBind();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  QLabel *title_, *name_, *explanation_;
  TsFlatButton* confirmButton_;
  DRFlatButton* skipButton_;
};
