#pragma once
// The member centre: a top-level window with the signed-in user's package (name, expiry, speed
// state), the package's limits and its privileges as pictures with names, fetched from the
// service, and a top-up control. Made once by the account page and kept; its data load once,
// when it is made, and again only through reloadData.
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/reactive/Disposable.h"
#include "platform/reactive/Signal.h"

class TsUserController;
struct TsPackagePrivilege;

namespace gelmora::ui {
class ImageLoader;
}

struct TsUserCenterDependencies {
  TsUserController* user = nullptr;  // app().user()
  // Sends the privilege request for a package id; empty: the account service.
  std::function<platform::reactive::Signal<nlohmann::json>(std::optional<int64_t> packageId)> fetch;
  std::function<std::string()> webDomain;      // app().env()->WebDomain()
  gelmora::ui::ImageLoader* images = nullptr;  // ImageLoader::shared()
};

class TsUserCenterWC : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSlots = 4;
  static constexpr double kTopupCloseSeconds = 0.2;
  using Dependencies = TsUserCenterDependencies;
  explicit TsUserCenterWC(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsUserCenterWC() override;

  void reloadData();
  void getPackageInfo();
  // Posts TsUserCenterTopupNotification now and hides the window 0.2 s (scaled) later.
  void topup();

  QLabel *topTF, *vipTF, *leftPackageTF, *leftDateTF, *leftLimitTF, *BottomTF, *upgradeTF,
      *topupTF, *resetTF;
  QLabel *titleTF, *subTitleTF, *packageTF, *dateTF, *limitTF;
  QLabel *mbsTF, *mobileTF, *deskTF;
  QFrame* packageBox;
  QWidget* maskView;
  QPushButton* topupButton;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void apply(const TsPackagePrivilege& privilege);
  TsUserController& user() const;

  Dependencies deps_;
  QWidget* content_;
  platform::reactive::Disposable request_;
  unsigned generation_ = 0;
};
