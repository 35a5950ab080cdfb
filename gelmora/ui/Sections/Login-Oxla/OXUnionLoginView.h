#pragma once
// The quick login chooser: a title, a row of outside-account buttons, a button to the e-mail
// form and a note that a first login creates an account. Shown only through
// OXLoginView::unionButtonClicked, which nothing calls.
#include <QAbstractButton>
#include <QLabel>
#include <QWidget>
#include <vector>

#include "ui/Kit/TsFlatButton.h"

class OXUnionLoginView : public QWidget {
  Q_OBJECT
 public:
  explicit OXUnionLoginView(QWidget* parent = nullptr);

  QLabel* topTitleLabel() const { return topTitleLabel_; }
  QLabel* thirdLoginLabel() const { return thirdLoginLabel_; }
  QLabel* bottomTitleLabel() const { return bottomTitleLabel_; }
  TsFlatButton* otherButton() const { return otherButton_; }
  QWidget* thirdLoginContainerView() const { return thirdLoginContainerView_; }
  // The buttons the row shows, in order.
  const std::vector<QAbstractButton*>& shownProviders() const { return shown_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void configThirdLoginButtons();
  void layoutParts();
  QWidget* centerView_;
  QLabel *topTitleLabel_, *thirdLoginLabel_, *bottomTitleLabel_;
  QWidget *topLineView_, *bottomLineView_, *thirdLoginContainerView_;
  TsFlatButton* otherButton_;
  std::vector<QAbstractButton*> shown_;
};
