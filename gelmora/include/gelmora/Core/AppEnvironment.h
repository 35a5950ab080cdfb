#pragma once
// Brand environments: everything that differs between the brands the client ships under
// (hosts, names, contact data), plus the deployment settings that have a built-in default.
// Exactly one environment is current; the start-up container installs it.
//
// An environment made with make<T>() while GELMORA_BRAND_FILE names a JSON object
// {"<property or setting>": "<text>", ...} takes those values over the built-in ones. A file
// that cannot be read, is not such an object, names an unknown entry or holds a non-text value
// is refused whole (logged), and the built-in values stay.
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class AppEnvironment {
 public:
  static constexpr const char* kBrandFileVariable = "GELMORA_BRAND_FILE";

  // Deployment settings, read with setting(); the empty text switches the feature off.
  static constexpr const char* kAnalyticsTrackingID = "AnalyticsTrackingID";
  static constexpr const char* kAnalyticsURL = "AnalyticsURL";
  static constexpr const char* kGeoServiceHost = "GeoServiceHost";
  static constexpr const char* kGeoTaobaoURL = "GeoTaobaoURL";
  static constexpr const char* kGeoIpipURL = "GeoIpipURL";
  static constexpr const char* kIPEchoURL = "IPEchoURL";
  // The store server in-app purchases go to; empty: the shop has no products, payments fail.
  static constexpr const char* kStoreServerURL = "StoreServerURL";
  // The live-support chat page that the self-update window's "意见反馈" opens.
  static constexpr const char* kUpdateSupportChatURL = "UpdateSupportChatURL";
  // Settings whose empty text means the reader's built-in default (read, not yet settable from
  // the screens): the older service host, the tunnel's public resolvers outside and inside China.
  static constexpr const char* kLegacyServiceHost = "LegacyServiceHost";
  static constexpr const char* kTunnelDnsServer = "TunnelDnsServer";
  static constexpr const char* kTunnelDnsServerChina = "TunnelDnsServerChina";
  // The older windows: the two hosts tried after the stored ones, the live-support chat page and
  // the top-up base address used while the service named none.
  static constexpr const char* kLegacyFallbackHost1 = "LegacyFallbackHost1";
  static constexpr const char* kLegacyFallbackHost2 = "LegacyFallbackHost2";
  static constexpr const char* kLegacySupportChatURL = "LegacySupportChatURL";
  static constexpr const char* kLegacyTopupBase = "LegacyTopupBase";

  AppEnvironment();
  virtual ~AppEnvironment() = default;

  // An environment of class T with the brand file (if any) applied.
  template <class T = AppEnvironment>
  static std::shared_ptr<T> make() {
    auto env = std::make_shared<T>();
    env->applyBrandFileFromEnvironment();
    return env;
  }

  // The current environment, none until one is installed.
  static std::shared_ptr<AppEnvironment> currentEnvironment();
  static void setCurrentEnvironment(std::shared_ptr<AppEnvironment> env);

  std::string WebDomain() const { return value("WebDomain"); }
  std::string H5Domain() const { return value("H5Domain"); }
  std::string Q4ServiceDomain() const { return value("Q4ServiceDomain"); }
  std::string Q5ServiceDomain() const { return value("Q5ServiceDomain"); }
  std::string StandbyServiceDomain1() const { return value("StandbyServiceDomain1"); }
  std::string StandbyServiceDomain2() const { return value("StandbyServiceDomain2"); }
  std::string StandbyServiceDomain3() const { return value("StandbyServiceDomain3"); }
  std::string FDServiceDomain() const { return value("FDServiceDomain"); }
  std::string AppStoreID() const { return value("AppStoreID"); }
  // The localised text of the brand's name key.
  std::string AppName() const;
  std::string AppScheme() const { return value("AppScheme"); }
  std::string AppBrand() const { return value("AppBrand"); }
  std::string AppRealBrand() const { return value("AppRealBrand"); }
  std::string DemoAccount() const { return value("DemoAccount"); }
  std::string FeedbackEmail() const { return value("FeedbackEmail"); }
  std::string FeedbackQQGroupNum() const { return value("FeedbackQQGroupNum"); }
  std::string FeedbackQQGroupKey() const { return value("FeedbackQQGroupKey"); }
  std::string AlipayPID() const { return value("AlipayPID"); }
  std::string AlipayAppID() const { return value("AlipayAppID"); }
  std::string SupportChatURL() const { return value("SupportChatURL"); }

  // Top-up and order pages of the brand's web site, built on each read from the user's login
  // code, the stored analytics parameters, the language and the analytics client id (values
  // URL-encoded; a missing one is the empty text).
  std::string TopupURL() const;
  std::string OrderURL() const;

  std::string setting(std::string_view name) const { return value(name); }

  // Every property and setting by name (the names a brand file may use).
  const std::map<std::string, std::string, std::less<>>& values() const { return values_; }

 protected:
  void assign(std::string_view name, std::string value);

 private:
  std::string value(std::string_view name) const;
  void applyBrandFileFromEnvironment();
  bool applyBrandFile(const std::filesystem::path& file);

  std::map<std::string, std::string, std::less<>> values_;
};

class AppDravikEnvironment : public AppEnvironment {
 public:
  AppDravikEnvironment();
};

// The environment installed at run time.
class AppOxlaEnvironment : public AppEnvironment {
 public:
  AppOxlaEnvironment();
};

// Oxla with every host on the local machine.
class AppDebugEnvironment : public AppOxlaEnvironment {
 public:
  AppDebugEnvironment();
};
