#pragma once
// Values of the e-mail forms (sign-in, sign-up, reset, link) and, as commands, everything those
// forms ask of the service, with the one 30-second count-down that holds back every code button of
// the instance. QtCore only: tested without a display.
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "Tovra/REST/TQAPI.h"
#include "platform/reactive/Command.h"
#include "platform/reactive/Property.h"
#include "ui/Kit/Ticker.h"

class TsUserController;
class TsAnalyticsService;

namespace gelmora::ui {

class OXLoginViewModel : public std::enable_shared_from_this<OXLoginViewModel> {
 public:
  using Unit = platform::reactive::Unit;
  template <class Out>
  using CommandPtr = std::shared_ptr<platform::reactive::Command<Unit, Out>>;

  struct Collaborators {
    TsUserController* user = nullptr;         // default: app().user()
    TsAnalyticsService* analytics = nullptr;  // default: app().analytics()
    std::unique_ptr<Ticker> ticker;           // default: a Qt ticker
    // Refreshes the bound accounts after a link or unlink; unset: app().bind().
    std::function<void()> updateLinkedSNSInfo;
  };

  static std::shared_ptr<OXLoginViewModel> create();
  static std::shared_ptr<OXLoginViewModel> create(Collaborators collaborators);
  ~OXLoginViewModel();
  OXLoginViewModel(const OXLoginViewModel&) = delete;
  OXLoginViewModel& operator=(const OXLoginViewModel&) = delete;

  platform::reactive::Property<std::string> email, password, code;
  platform::reactive::Property<std::string> resetEmail, resetPassword, resetCode;
  platform::reactive::Property<std::string> codeButtonTitle;
  platform::reactive::Property<int64_t> lastSecond{0};

  // A new command on each call: bind it to one button, or execute it once.
  CommandPtr<JVX_USER_INFO> loginCommand();
  CommandPtr<JVX_USER_INFO> signupCommand();
  CommandPtr<Unit> resetCommand();
  CommandPtr<nlohmann::json> bindCommand();
  CommandPtr<nlohmann::json> unbindCommand();
  CommandPtr<nlohmann::json> registerCodeCommand();
  CommandPtr<nlohmann::json> resetCodeCommand();
  CommandPtr<nlohmann::json> bindCodeCommand();

  // Unlinks the signed-in account from the outside account `platform`.
  platform::reactive::Signal<nlohmann::json> unbindSNSWithPlatform(const std::string& platform);

  void startTimer();
  void stopTimer();
  Ticker& ticker() { return *ticker_; }
  void setUpdateLinkedSNSInfo(std::function<void()> f) { updateLinkedSNSInfo_ = std::move(f); }

 private:
  explicit OXLoginViewModel(Collaborators collaborators);
  void onTick();
  CommandPtr<nlohmann::json> codeCommand(platform::reactive::Property<std::string>& address,
                                         const char* type);
  // Sent only with a signed-in uid; without one the call fails with "not authed" unsent.
  platform::reactive::Signal<nlohmann::json> sendWithUid(const TQAPIPtr& call,
                                                         const std::function<void(int64_t)>& fill);

  TsUserController* user_;
  TsAnalyticsService* analytics_;
  std::unique_ptr<Ticker> ticker_;
  std::function<void()> updateLinkedSNSInfo_;
  platform::reactive::Disposable titleSub_;
};

}  // namespace gelmora::ui
