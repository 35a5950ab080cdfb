#include "gelmora/Services/TsAnalyticsService.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsPageEventParams.h"

using platform::reactive::Scheduler;

namespace {

// Seconds between the Unix epoch and 2001-01-01 00:00 UTC, the platform's reference date.
constexpr double kReferenceDateOffset = 978307200.0;

}  // namespace

TsAnalyticsService& TsAnalyticsService::sharedInstance() {
  static TsAnalyticsService instance = [] {
    MeasurementProtocolClient::Configuration config;
    // Read at each hit: the service may be touched before the brand environment is installed.
    config.refresh = [](MeasurementProtocolClient::Configuration& c) {
      c.trackingId.clear();
      c.endpoint.clear();
      if (auto env = app().env()) {
        c.trackingId = env->setting(AppEnvironment::kAnalyticsTrackingID);
        c.endpoint = env->setting(AppEnvironment::kAnalyticsURL);
      }
      c.appVersion = app().version();
      c.userLanguage = app().language().value_or("en-US");
    };
    return TsAnalyticsService(AppUserDefaults::sharedInstance(), TsUserController::sharedInstance(),
                              std::make_unique<MeasurementProtocolClient>(
                                  std::move(config), tq::CurlTransport::shared()));
  }();
  return instance;
}

TsAnalyticsService& BHAppPackage::analytics() const { return TsAnalyticsService::sharedInstance(); }

TsAnalyticsService::TsAnalyticsService(AppUserDefaults& defaults, TsUserController& user,
                                       std::unique_ptr<MeasurementProtocolClient> client,
                                       platform::reactive::SchedulerPtr scheduler,
                                       std::string hostName)
    : defaults_(defaults),
      user_(user),
      client_(std::move(client)),
      scheduler_(scheduler ? std::move(scheduler) : Scheduler::mainThread()),
      hostName_(std::move(hostName)) {
  client_->setUserIdentifier(cid());
}

TsAnalyticsService::~TsAnalyticsService() { timer_.dispose(); }

std::string TsAnalyticsService::cid() const {
  auto params = defaults_.gaParams();
  if (params && !params->empty()) return *params;
  if (auto uid = user_.uid()) return "client_mac_uid_" + std::to_string(*uid);
  double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  char text[64];
  std::snprintf(text, sizeof text, "client_mac_posix_%f", now - kReferenceDateOffset);
  return text;
}

void TsAnalyticsService::sendCategory(const std::string& category, const std::string& action,
                                      const std::string& label) {
  TsEventParams p;
  p.category = category;
  p.action = action;
  p.label = label;
  p.cid = cid();
  p.hitType = "event";
  if (auto uid = user_.uid()) p.uid = std::to_string(*uid);
  client_->send(p.dictionaryRepresentation());
}

void TsAnalyticsService::sendHostName(const std::string& hostName, const std::string& path,
                                      const std::string& title) {
  TsPageEventParams p;
  p.hostName = hostName;
  p.pagePath = path;
  p.pageTitle = title;
  p.random = std::to_string(::random());
  p.cid = cid();
  p.hitType = "pageview";
  if (auto uid = user_.uid()) p.uid = std::to_string(*uid);
  client_->send(p.dictionaryRepresentation());
}

void TsAnalyticsService::startHeartbeat() {
  auto beat = [this] { sendCategory(kCategory, "heartbeat", "heartbeat"); };
  timer_.add(scheduler_->schedule(beat));
  timer_.add(scheduler_->every(std::chrono::duration_cast<platform::reactive::Duration>(
                                   std::chrono::duration<double>(kHeartbeatInterval)),
                               beat));
}

void TsAnalyticsService::event(const std::string& action, const std::string& label) {
  sendCategory(kCategory, action, label);
}

void TsAnalyticsService::page(const std::string& path, const std::string& title) {
  std::string host = hostName_;
  if (host.empty()) {
    if (auto env = app().env()) host = env->WebDomain();
  }
  sendHostName(host, path, title);
}

void TsAnalyticsService::startup() { event("launch"); }

void TsAnalyticsService::loginWithType(const std::string& type) {
  event("login", "login_channel_" + type);
}

void TsAnalyticsService::registerEvent() {
  const std::string& type = user_.loginType();
  event("sign_up", type.empty() ? std::string() : "sign_up_channel_" + type);
  page("/clientmac/successfulsignuppage", "Client Mac Successful Signup Page");
}

void TsAnalyticsService::speed() { event("accelerate_success"); }

// The paths and the action below spell "first" with the ligature U+FB01, as the property has
// always received them.
void TsAnalyticsService::firstAccelerate() {
  if (!defaults_.firstAccelerate()) return;
  event("first_accelerate");
  page("/clientmac/\xEF\xAC\x81rstacceleratepage", "Client Mac First Accelerate Page");
  defaults_.setFirstAccelerate(false);
}

void TsAnalyticsService::firstInstall() {
  if (!defaults_.firstInstall()) return;
  event("install");
  page("/clientmac/successfulinstallationpage", "Client Mac Successful Installation Page");
  defaults_.setFirstInstall(false);
}

void TsAnalyticsService::launchPage() { page("/clientmac/launchpage", "Client Mac Launch Page"); }
void TsAnalyticsService::loginPage() { page("/clientmac/loginpage", "Client Mac Login Page"); }
void TsAnalyticsService::acceleratePage() {
  page("/clientmac/acceleratepage", "Client Mac Accelerate Page");
}
void TsAnalyticsService::memberPage() { page("/clientmac/memberpage", "Client Mac Member Page"); }

void TsAnalyticsService::topupPage() {
  page("/clientmac/openpurchasepage", "Client Mac Open Purchase Page");
  event("open_purchase_page");
  if (!defaults_.firstTopupPage()) return;
  page("/clientmac/\xEF\xAC\x81rstopenpurchasepage", "Client Mac First Open Purchase Page");
  event("\xEF\xAC\x81rst_open_purchase_page");
  defaults_.setFirstTopupPage(false);
}
