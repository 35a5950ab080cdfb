#pragma once
// Asks the service for a phone verification code and then holds the next request back for 60
// seconds with a count-down screens can show. One instance for the application (app().verify());
// tests make their own. QtCore only.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/reactive/Command.h"
#include "platform/reactive/Property.h"
#include "ui/Kit/Ticker.h"

namespace gelmora::ui {

class TsVerifyCodeViewModel {
 public:
  using Unit = platform::reactive::Unit;

  struct Collaborators {
    std::unique_ptr<Ticker> ticker;  // default: a Qt ticker
  };

  static TsVerifyCodeViewModel& sharedInstance();

  TsVerifyCodeViewModel();
  explicit TsVerifyCodeViewModel(Collaborators collaborators);
  ~TsVerifyCodeViewModel();
  TsVerifyCodeViewModel(const TsVerifyCodeViewModel&) = delete;
  TsVerifyCodeViewModel& operator=(const TsVerifyCodeViewModel&) = delete;

  platform::reactive::Property<std::string> phone, type, countryCode;
  platform::reactive::Property<int64_t> lastSecond{0};

  // One code request: sent when subscribed, the count-down starting on the answer; empty and
  // nothing sent during a count-down or with an invalid phone number.
  platform::reactive::Signal<nlohmann::json> fetchCode();
  // A new command on each call, enabled while no count-down runs and the phone is valid.
  std::shared_ptr<platform::reactive::Command<Unit, nlohmann::json>> fetchCommand();

  void startTimer();
  void stopTimer();
  Ticker& ticker() { return *ticker_; }

 private:
  void onTick();
  std::unique_ptr<Ticker> ticker_;
  // Commands and answers outliving the model see it gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace gelmora::ui
