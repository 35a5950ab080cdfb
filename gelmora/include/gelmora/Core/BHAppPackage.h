#pragma once
// The global service locator. It owns no service: each entry answers the shared instance of its
// service and is defined in that service's own source, so the locator depends on none of them.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class AppUserDefaults;
class AppEnvironment;
class TsUserController;
class TsAnalyticsService;
class AccelerationController;
class TsStyleSheet;
namespace gelmora::ui {
class TsVerifyCodeViewModel;
}

class BHAppPackage {
 public:
  // Created on first use, thread-safe; valid during static initialisation, before main.
  static BHAppPackage& sharedInstance();

  BHAppPackage(const BHAppPackage&) = delete;
  BHAppPackage& operator=(const BHAppPackage&) = delete;

  // Entries (defined by the services that add them).
  AppUserDefaults& defaults() const;            // AppUserDefaults.cpp
  std::shared_ptr<AppEnvironment> env() const;  // AppEnvironment.cpp: none until installed
  TsUserController& user() const;               // TsUserController.cpp
  TsAnalyticsService& analytics() const;        // TsAnalyticsService.cpp
  AccelerationController& vpn() const;          // AccelerationController.cpp
  TsStyleSheet& style() const;                  // the Qt application (gelmora_ui): TsStyleSheet.cpp
  // The shared phone-code fetcher (gelmora_ui): TsVerifyCodeViewModel.cpp.
  gelmora::ui::TsVerifyCodeViewModel& verify() const;

  // The service language code; none until the start-up container sets it.
  std::optional<std::string> language() const;
  void setLanguage(std::optional<std::string> language);

  // Short version and build number of the running application.
  std::string version() const;
  std::string buildVersion() const;

 private:
  BHAppPackage() = default;

  mutable std::mutex mutex_;
  std::optional<std::string> language_;
};

// The locator, as every part of the application reaches it.
inline BHAppPackage& app() { return BHAppPackage::sharedInstance(); }
