#pragma once
// Sets the running application up once its main loop has started: the brand environment, the
// REST engine's global handlers and header builder, the start-up parameters with fail-over
// across the brand's service hosts, clearing of web data, the stored sign-in, the receipt upload
// and the root view controller. Main thread only.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "gelmora/Application/AlertSheetPresenter.h"
#include "gelmora/Application/ProcessControl.h"
#include "gelmora/Application/RootViewControllerFactory.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Application/WebDataStore.h"
#include "platform/reactive/Disposable.h"

class AccelerationController;
class AppEnvironment;
class AppUserDefaults;
class TQAPI;
class TQAPIConfig;
class TsUserController;

class AppDependencies {
 public:
  // What the screens provide, and the services it works on (none: the process-wide ones).
  struct Collaborators {
    AlertSheetPresenter* alerts = nullptr;
    WebDataStore* webData = nullptr;
    RootViewControllerFactory* rootFactory = nullptr;
    UrlOpener* urlOpener = nullptr;
    ProcessControl* process = nullptr;
    TsUserController* user = nullptr;
    // The acceleration controller that gets the alerts and is prepared (none: app().vpn()).
    AccelerationController* vpn = nullptr;
    AppUserDefaults* defaults = nullptr;
    // Makes the brand environment installed by setUpBrandSpec (none: AppOxlaEnvironment).
    std::function<std::shared_ptr<AppEnvironment>()> makeEnvironment;
    // The store receipt (none: the default location, see receiptPath()).
    std::optional<std::filesystem::path> receiptPath;
    // Called when the service accepted the start-up receipt upload (code 0 only); the app ends
    // the store's pending transactions here.
    std::function<void()> receiptAccepted;
  };

  explicit AppDependencies(Collaborators collaborators);
  ~AppDependencies();
  AppDependencies(const AppDependencies&) = delete;
  AppDependencies& operator=(const AppDependencies&) = delete;

  void setUpAll();
  void setUpBrandSpec();
  void setUpLogger() {}
  void setUpAPI();
  void checkLaunchParams();
  void processLaunchParams(const JVX_RESP_PARAMETERS_STARTUP& answer);
  void clearCookies();
  void checkReceipt();
  void goInstallPage();

  // The service language of the user's system (from the locale variables); stored as
  // app().language().
  std::string languageCode();
  // The rule itself: P a BCP-47 tag, L its language, C its upper-case territory.
  static std::string languageCode(const std::string& P, const std::string& L, const std::string& C);
  // P, L and C from the process environment: the first of LANGUAGE, else LC_ALL, LC_MESSAGES,
  // LANG ("zh_TW.UTF-8" -> "zh-TW"); "C", "POSIX" or nothing -> "en-US".
  static void preferredLanguage(std::string& P, std::string& L, std::string& C);

  bool handleRespPop(const nlohmann::json& popInfo, bool isError);
  void handleServerCmd(int64_t code);
  void alertError(const std::string& text);
  void alertError(const std::string& text, const std::optional<std::string>& message);
  void alert(const std::string& title, const std::string& message,
             AlertSheetPresenter::Completion completionHandler);

  const std::shared_ptr<RootViewController>& rootViewController() const { return root_; }
  void setRootViewController(std::shared_ptr<RootViewController> r) { root_ = std::move(r); }
  const std::vector<std::string>& domains() const { return domains_; }
  void setDomains(std::vector<std::string> d) { domains_ = std::move(d); }
  int64_t domainIndex() const { return domainIndex_; }
  void setDomainIndex(int64_t i) { domainIndex_ = i; }
  // The start-up parameter request has been answered, or its last host has failed.
  bool launchParamsSettled() const { return launchParamsSettled_; }

  // ${XDG_DATA_HOME:-$HOME/.local/share}/cn.gelmoras.Gelmoras2/receipt
  static std::filesystem::path defaultReceiptPath();
  // Opens http and https addresses only; anything else is logged and dropped.
  void openWebAddress(const std::string& url);

 private:
  void failedCall(TQAPI& api);
  void succeededCall(TQAPI& api);

  Collaborators c_;
  TsUserController& user_;
  AppUserDefaults& defaults_;
  std::shared_ptr<RootViewController> root_;
  std::vector<std::string> domains_;
  int64_t domainIndex_ = 0;
  bool launchParamsSettled_ = false;
  bool handlersInstalled_ = false;
  AccelerationController* vpn_ = nullptr;
  platform::reactive::CompositeDisposable subscriptions_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
