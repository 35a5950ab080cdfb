#pragma once
// The result line inside the dial once acceleration is on: where the public address is, or the
// chosen line's name when the lookup fails. Only the newest lookup's answer is shown.
#include <QLabel>
#include <QWidget>
#include <functional>

#include "gelmora/Services/TsUserGEOInfo.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Signal.h"

class AppUserDefaults;

class TsAccelerateFinishView : public QWidget {
  Q_OBJECT
 public:
  using GeoLookup = std::function<platform::reactive::Signal<TsUserGEOInfo>()>;
  // Empty collaborators: TsfetchIPService::fetchPublicIP and app().defaults().
  explicit TsAccelerateFinishView(GeoLookup geo = {}, AppUserDefaults* defaults = nullptr,
                                  QWidget* parent = nullptr);
  ~TsAccelerateFinishView() override;

  QLabel* locationTF() const { return locationTF_; }
  // Starts a new lookup; an answer of an earlier one is dropped.
  void reloadData();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  GeoLookup geo_;
  AppUserDefaults* defaults_;
  QLabel* locationTF_;
  platform::reactive::Disposable lookup_;
  unsigned generation_ = 0;
};
