#pragma once
// Values of the phone forms (phone number, dial code, password, e-mail, code) and, as commands,
// phone sign-in, code requests by text message or voice call with one shared 30-second
// count-down, and the binding operations of a signed-in user. QtCore only: tested without a
// display. Each screen makes its own instance; instances share nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "Tovra/REST/TQAPI.h"
#include "platform/reactive/Command.h"
#include "platform/reactive/Property.h"
#include "ui/Kit/Ticker.h"

class TsUserController;
class AppUserDefaults;

namespace gelmora::ui {

// The dial code as the service takes it: the integer value of the text (leading white space and
// one sign allowed, reading stops at the first other character, saturated to 32 bits) as decimal
// text; "+86" and "086" give "86", text without digits "0".
std::string normalizedDialCode(std::string_view text);

class TsLoginViewModel : public std::enable_shared_from_this<TsLoginViewModel> {
 public:
  using Unit = platform::reactive::Unit;
  template <class Out>
  using CommandPtr = std::shared_ptr<platform::reactive::Command<Unit, Out>>;

  struct Collaborators {
    TsUserController* user = nullptr;     // default: app().user()
    AppUserDefaults* defaults = nullptr;  // default: app().defaults()
    std::unique_ptr<Ticker> ticker;       // default: a Qt ticker
    // Refreshes the bound accounts after a bind or an unlink; unset: skipped.
    std::function<void()> updateLinkedSNSInfo;
  };

  static std::shared_ptr<TsLoginViewModel> create();
  static std::shared_ptr<TsLoginViewModel> create(Collaborators collaborators);
  ~TsLoginViewModel();
  TsLoginViewModel(const TsLoginViewModel&) = delete;
  TsLoginViewModel& operator=(const TsLoginViewModel&) = delete;

  platform::reactive::Property<std::string> userName, email, password, countryCode, quickAuthCode;
  platform::reactive::Property<std::string> codeButtonTitle;
  // Empty until the first voice code was asked for.
  platform::reactive::Property<std::string> voiceCodeButtonTitle;
  platform::reactive::Property<bool> showVoice{false};
  platform::reactive::Property<bool> isFetchVoice{false};
  // 3 each time a voice count-down ran down; nothing else changes it.
  platform::reactive::Property<int64_t> clickNum{0};
  platform::reactive::Property<int64_t> lastSecond{0};

  // A new command on each call: bind it to one button, or execute it once.
  CommandPtr<JVX_USER_INFO> loginCommand();
  CommandPtr<JVX_USER_INFO> quickLoginCommand();
  CommandPtr<nlohmann::json> codeCommandWithType(const std::string& type);
  CommandPtr<nlohmann::json> voiceCodeCommandWithType(const std::string& type);
  // One code request; empty (nothing sent) during a count-down or with an invalid phone number.
  platform::reactive::Signal<nlohmann::json> fetchCodeWithType(const std::string& type);
  platform::reactive::Signal<nlohmann::json> fetchVoiceCodeWithType(const std::string& type);

  // Binding (signed-in user; signed out every request fails as "not authed", unsent).
  CommandPtr<nlohmann::json> bindPhoneCommand();
  CommandPtr<nlohmann::json> unBindPhoneCommand();
  CommandPtr<nlohmann::json> verifyPhoneCommandWithType(const std::string& type);
  platform::reactive::Signal<nlohmann::json> verifyPhoneSignalWithType(const std::string& type);
  platform::reactive::Signal<nlohmann::json> bindPhoneSignal();
  platform::reactive::Signal<nlohmann::json> unbindPhoneSignal();
  platform::reactive::Signal<nlohmann::json> unbindSNSWithPlatform(const std::string& platform);
  platform::reactive::Signal<nlohmann::json> unBindWechat();
  platform::reactive::Signal<nlohmann::json> bindPhone();
  platform::reactive::Signal<nlohmann::json> bindEmail();
  platform::reactive::Signal<nlohmann::json> unBindPhone();
  void updateLinkedSNSInfo();
  void setUpdateLinkedSNSInfo(std::function<void()> f) { updateLinkedSNSInfo_ = std::move(f); }

  void startTimer();
  void stopTimer();
  Ticker& ticker() { return *ticker_; }

 private:
  explicit TsLoginViewModel(Collaborators collaborators);
  void onTick();
  void onLastSecond(int64_t left);
  CommandPtr<nlohmann::json> codeCommand(const std::string& type, bool voice);
  platform::reactive::Signal<nlohmann::json> fetch(const std::string& type, bool voice);
  // Fills uid and mac and sends; without a signed-in uid the call fails as "not authed" unsent.
  template <class Call>
  platform::reactive::Signal<nlohmann::json> sendSigned(const std::shared_ptr<Call>& call);

  TsUserController* user_;
  AppUserDefaults* defaults_;
  std::unique_ptr<Ticker> ticker_;
  std::function<void()> updateLinkedSNSInfo_;
  platform::reactive::Disposable titleSub_;
};

}  // namespace gelmora::ui
