#pragma once
// Reports the client's use as analytics events and page views, tagged with the analytics client
// id and, when a user is signed in, the uid; a heartbeat event goes out at once and then every
// 1200 s. Main thread only.
#include <functional>
#include <memory>
#include <string>

#include "gelmora/Services/MeasurementProtocolClient.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Scheduler.h"

class AppUserDefaults;
class TsUserController;

class TsAnalyticsService {
 public:
  static constexpr double kHeartbeatInterval = 1200.0;
  static constexpr const char* kCategory = "Client_Mac";

  // The one service of the process: the shared defaults and user controller, the brand's
  // property identifier and endpoint, the REST engine's transport.
  static TsAnalyticsService& sharedInstance();

  // A service on the given collaborators. The client's user identifier is set to cid() here.
  TsAnalyticsService(AppUserDefaults& defaults, TsUserController& user,
                     std::unique_ptr<MeasurementProtocolClient> client,
                     platform::reactive::SchedulerPtr scheduler = nullptr,
                     std::string hostName = std::string());
  ~TsAnalyticsService();
  TsAnalyticsService(const TsAnalyticsService&) = delete;
  TsAnalyticsService& operator=(const TsAnalyticsService&) = delete;

  // The stored analytics parameters when there are any, else "client_mac_uid_<uid>" for a
  // signed-in user, else "client_mac_posix_<seconds since 2001-01-01 UTC, six decimals>".
  std::string cid() const;

  void sendCategory(const std::string& category, const std::string& action,
                    const std::string& label);
  void sendHostName(const std::string& hostName, const std::string& path, const std::string& title);
  void startHeartbeat();

  void startup();
  void loginWithType(const std::string& type);
  void registerEvent();  // "register" is a keyword
  void speed();
  void firstAccelerate();
  void firstInstall();
  void launchPage();
  void loginPage();
  void acceleratePage();
  void memberPage();
  void topupPage();

  MeasurementProtocolClient& client() { return *client_; }
  // "WIDTHxHEIGHT" of the screen sent as "sr" with every later hit (the application sets it).
  void setScreenSizeProvider(std::function<std::string()> provider) {
    client_->setScreenSizeProvider(std::move(provider));
  }

 private:
  void event(const std::string& action, const std::string& label = std::string());
  void page(const std::string& path, const std::string& title);

  AppUserDefaults& defaults_;
  TsUserController& user_;
  std::unique_ptr<MeasurementProtocolClient> client_;
  platform::reactive::SchedulerPtr scheduler_;
  std::string hostName_;
  platform::reactive::CompositeDisposable timer_;
};
