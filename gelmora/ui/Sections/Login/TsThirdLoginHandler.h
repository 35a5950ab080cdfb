#pragma once
// What the outside-account page may ask of the application, apart from the page itself:
// "getClientInfo" (answered with the client's description) and "userLoginSuccess" (the account
// the page signed in). The page's web view and bridge call it; it trusts nothing the page sends.
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "gelmora/Sections/Login/ThirdLoginMessage.h"

class TsUserController;
class TsAnalyticsService;
class AppUserDefaults;

class TsThirdLoginHandler {
 public:
  // Page data longer than this is not read.
  static constexpr size_t kMaxMessageBytes = ThirdLoginMessage::kMaxMessageBytes;

  struct Collaborators {
    TsUserController* user = nullptr;         // default: app().user()
    TsAnalyticsService* analytics = nullptr;  // default: app().analytics()
    AppUserDefaults* defaults = nullptr;      // default: app().defaults()
    // Shows a message to the user; default: the kit's alert.
    std::function<void(const std::string& title, const std::string& message)> alert;
  };

  // `isBind`: link the account to the signed-in user instead of signing in. `dismiss` closes the
  // page.
  TsThirdLoginHandler(bool isBind, Collaborators collaborators, std::function<void()> dismiss);

  // The five-key description of the client, pretty-printed JSON text.
  std::string clientInfo() const;
  // The page's "userLoginSuccess" data as the page sent it, read by `ThirdLoginMessage::read`
  // and acted on by its outcome.
  void userLoginSuccess(const nlohmann::json& data);

 private:
  bool isBind_;
  TsUserController* user_;
  TsAnalyticsService* analytics_;
  AppUserDefaults* defaults_;
  std::function<void(const std::string&, const std::string&)> alert_;
  std::function<void()> dismiss_;
};
