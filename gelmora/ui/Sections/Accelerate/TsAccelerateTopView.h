#pragma once
// The package strip at the top of the acceleration screen: three value lines of the user's
// package, up to six privilege pictures with their names, and an upgrade button that asks for
// the shop. Only the newest answer is shown; slots it does not fill are cleared.
#include <QLabel>
#include <QWidget>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "gelmora/Sections/Accelerate/TsPackagePrivilege.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Signal.h"

class TsFlatButton;
class TsUserController;
namespace gelmora::ui {
class ImageLoader;
}

struct TsAccelerateTopDependencies {
  // Sends the privilege request for a package id; empty: the account service.
  std::function<platform::reactive::Signal<nlohmann::json>(std::optional<int64_t> packageId)> fetch;
  TsUserController* user = nullptr;            // app().user()
  std::function<std::string()> webDomain;      // app().env()->WebDomain()
  gelmora::ui::ImageLoader* images = nullptr;  // ImageLoader::shared()
};

class TsAccelerateTopView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSlots = TsPackagePrivilege::kSlots;
  using Dependencies = TsAccelerateTopDependencies;
  explicit TsAccelerateTopView(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsAccelerateTopView() override;

  void getPackageInfo();
  // Posts TsUserCenterTopupNotification.
  void topUp();

  const std::vector<QLabel*>& imageViewArr() const { return imageViews_; }
  const std::vector<QLabel*>& tfArr() const { return names_; }
  const std::vector<QLabel*>& rightTFArr() const { return values_; }
  TsFlatButton* upgradeButton() const { return upgradeButton_; }
  // The picture addresses asked for by the newest answer, per slot (empty: none).
  const std::vector<QString>& imageURLs() const { return imageURLs_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void apply(const TsPackagePrivilege& privilege);

  Dependencies deps_;
  std::vector<QLabel*> imageViews_, names_, values_;
  std::vector<QString> imageURLs_;
  TsFlatButton* upgradeButton_;
  platform::reactive::Disposable request_;
  unsigned generation_ = 0;
};
