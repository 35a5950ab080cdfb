#pragma once
// Which sign-in identities are bound to the signed-in account (phone, e-mail and nine outside
// accounts) and the names they are bound under, with the requests that refresh or change them.
// One instance for the run, app().bind(). Main thread only: answers arrive on the main queue.
//
// The flags and names belong to the signed-in user: sign-out clears them (and announces the
// change), and an answer that arrives after its user signed out is dropped.
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "Tovra/REST/TQAPI.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Signal.h"

class TsUserController;

class TsUserBindViewModel {
 public:
  // The one instance of the process, on app().user(); made on first use (thread-safe).
  static TsUserBindViewModel& sharedInstance();

  // A model on `user` (none: app().user()).
  explicit TsUserBindViewModel(TsUserController* user = nullptr);
  ~TsUserBindViewModel();
  TsUserBindViewModel(const TsUserBindViewModel&) = delete;
  TsUserBindViewModel& operator=(const TsUserBindViewModel&) = delete;

  bool phoneBound = false;
  bool emailBound = false;
  bool weiboBound = false;
  bool wechatBound = false;
  bool qqBound = false;
  bool facebookBound = false;
  bool twitterBound = false;
  bool insBound = false;
  bool googleBound = false;
  bool lineBound = false;
  bool kakaoBound = false;

  // Inputs of bindPhone and bindEmail (no screen sets them).
  std::optional<std::string> phone, countryCode, code, email, password;

  // The bound names as the service last answered them.
  std::optional<JVX_LINKED_NAME> boundInfo;

  // Asks the service for the bound accounts; on the answer sets the flags (exactly 1 is bound)
  // and the names, then posts TsUserSNSInfoChangedNotification. A failure changes nothing and
  // posts nothing. Without a signed-in uid nothing is sent.
  void updateLinkedSNSInfo();

  // The signal of a phone-binding request (the caller subscribes); nothing else happens here.
  platform::reactive::Signal<nlohmann::json> bindPhone();
  // The signal of an e-mail-binding request; the request's `code` field stays unset.
  platform::reactive::Signal<nlohmann::json> bindEmail();

  // Links the outside account that fetchSNSUserInfoWithPlatform answers, then refreshes. That
  // fetch answers no signal here, so this does nothing; the screens link through a web page.
  void bindSNSWithPlatform(const std::string& platform);
  // The outside account of `platform`: none in this application.
  std::optional<platform::reactive::Signal<JVX_THIRD_ACCOUNT_INFO>> fetchSNSUserInfoWithPlatform(
      const std::string& platform);

 private:
  TsUserController& user() const;
  // Flags NO, texts and names none, then the change is announced.
  void reset();
  void apply(const JVX_RESP_USER_LINKED_SNS& answer);
  platform::reactive::Signal<nlohmann::json> sendForSignedInUser(
      const TQAPIPtr& call, const std::function<void(int64_t)>& fill);

  TsUserController* user_;
  platform::reactive::CompositeDisposable requests_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
