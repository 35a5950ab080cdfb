#pragma once
// Body of the login screen: the brand picture on the left and a form area that shows one of the
// e-mail form, the reset form or the quick-login chooser.
#include <QLabel>
#include <QWidget>

#include "ui/Sections/Login-Oxla/OXEmailLoginView.h"
#include "ui/Sections/Login-Oxla/OXEmailResetPassView.h"
#include "ui/Sections/Login-Oxla/OXUnionLoginView.h"
#include "ui/Sections/Login/TsDragableImageView.h"

class OXLoginView : public QWidget {
  Q_OBJECT
 public:
  explicit OXLoginView(QWidget* parent = nullptr);

  TsDragableImageView* adView() const { return adView_; }
  QLabel* logoView() const { return logoView_; }
  QWidget* formView() const { return formView_; }
  OXUnionLoginView* unionLoginView() const { return unionLoginView_; }
  OXEmailLoginView* emailLoginView() const { return emailLoginView_; }
  OXEmailResetPassView* emailResetView() const { return emailResetView_; }
  // The form shown now.
  QWidget* shownForm() const { return shown_; }

  // Takes the shown form out of the area and pins `view` to all its edges.
  void switchToView(QWidget* view);
  void unionButtonClicked();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutParts();
  TsDragableImageView* adView_;
  QLabel* logoView_;
  QWidget* formView_;
  OXUnionLoginView* unionLoginView_;
  OXEmailLoginView* emailLoginView_;
  OXEmailResetPassView* emailResetView_;
  QWidget* shown_ = nullptr;
};
