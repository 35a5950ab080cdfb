#pragma once
// The account page's view: the user's name and id, the package and its expiry, the picture-news
// carousel, the pay button, the launch-at-login box and the command buttons with their captions.
// Built in code; every outlet's objectName is its name. Captions are filled each time the view is
// placed into a parent; the background is the style sheet's.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "ui/General/CarouselWidget.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Me/TsUserInfoLabel.h"

class TsUserProfileView : public QWidget {
  Q_OBJECT
 public:
  // `version`: the application's version for versionTF (none shows the empty text).
  explicit TsUserProfileView(QWidget* parent = nullptr);

  // Fills the fixed captions (run on each placement into a parent).
  void viewDidMoveToSuperview();
  // The version shown in versionTF; none: app().version().
  void setVersionSource(std::function<std::optional<std::string>()> source) {
    versionSource_ = std::move(source);
  }

  QLabel* logoView = nullptr;
  QLabel* avataView = nullptr;
  QLabel* phoneLabel = nullptr;
  TsUserInfoLabel* suitLabel = nullptr;
  TsUserInfoLabel* expireDateLabel = nullptr;
  TsUserInfoLabel* restTrafficLabel = nullptr;
  TsUserInfoLabel* uidLabel = nullptr;
  TsFlatButton* payButton = nullptr;
  QCheckBox* bootCheckBox = nullptr;
  QLabel* versionLabel = nullptr;
  gelmora::ui::CarouselWidget* carousel = nullptr;
  QLabel* userNameTF = nullptr;
  QLabel* packTypeTF = nullptr;
  QLabel* exDateTF = nullptr;
  QLabel* idTF = nullptr;
  QPushButton* editButton = nullptr;
  QPushButton* logoutButton = nullptr;
  QFrame* editBox = nullptr;
  QFrame* vipBox = nullptr;
  QPushButton* vipButton = nullptr;
  QLabel* aboutTF = nullptr;
  QPushButton* aboutButton = nullptr;
  QLabel* orderTF = nullptr;
  QPushButton* orderButton = nullptr;
  QLabel* helpTF = nullptr;
  QPushButton* helpButton = nullptr;
  QLabel* shareTF = nullptr;
  QPushButton* shareButton = nullptr;
  QWidget* centerView = nullptr;
  QLabel* logoutTF = nullptr;
  QLabel* packTitleTF = nullptr;
  QLabel* exDateTitleTF = nullptr;
  QLabel* editTitleTF = nullptr;
  QLabel* versionTF = nullptr;
  QLabel* vipTF = nullptr;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::function<std::optional<std::string>()> versionSource_;
};
