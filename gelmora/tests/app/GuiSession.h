#pragma once
// A signed-out application session for widget tests of the screens: the account (with one seeded
// account), feedback, analytics and geo stand-ins in this process on 127.0.0.1, a brand
// environment whose hosts are those stand-ins, a private file keychain and defaults file, and the
// user controller and analytics service on them. Needs the Qt main queue (gelmora_gui_test_main).
#include <filesystem>
#include <memory>
#include <string>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "standin/AccountServer.h"
#include "standin/AnalyticsCollector.h"
#include "standin/GeoStandin.h"

namespace gelmora::test {

class GuiSession {
 public:
  static constexpr const char* kUsername = "player";
  static constexpr const char* kMail = "player@gelmora.test";
  static constexpr const char* kPassword = "pw-123456";

  GuiSession();
  ~GuiSession();
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // False when a stand-in could not start (the constructor logs which).
  bool ready() const { return ready_; }

  AppUserDefaults& defaults() { return *defaults_; }
  TsUserController& user() { return *user_; }
  TsAnalyticsService& analyticsService() { return *analyticsService_; }
  const std::shared_ptr<AppEnvironment>& environment() const { return environment_; }
  const std::filesystem::path& folder() const { return folder_; }

  // Signs the seeded account in through the password route, running the Qt event loop until the
  // answer has been handled (at most `timeoutMs` of real time). True when signed in.
  bool signIn(int timeoutMs = 10000);

  standin::account::AccountServer account;
  standin::account::AccountServer feedback;
  standin::AnalyticsCollector analytics;
  standin::GeoStandin geo;

 private:
  bool ready_ = false;
  std::filesystem::path folder_;
  std::shared_ptr<AppEnvironment> environment_;
  std::unique_ptr<AppUserDefaults> defaults_;
  std::unique_ptr<TsUserController> user_;
  std::unique_ptr<TsAnalyticsService> analyticsService_;
};

}  // namespace gelmora::test
