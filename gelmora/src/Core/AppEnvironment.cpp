#include "gelmora/Core/AppEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Core/Log.h"

namespace {

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<AppEnvironment>& currentSlot() {
  static std::shared_ptr<AppEnvironment> env;
  return env;
}

constexpr std::size_t kMaxBrandFileSize = 1024 * 1024;

}  // namespace

std::shared_ptr<AppEnvironment> BHAppPackage::env() const {
  return AppEnvironment::currentEnvironment();
}

std::shared_ptr<AppEnvironment> AppEnvironment::currentEnvironment() {
  std::lock_guard lock(currentMutex());
  return currentSlot();
}

void AppEnvironment::setCurrentEnvironment(std::shared_ptr<AppEnvironment> env) {
  std::lock_guard lock(currentMutex());
  currentSlot() = std::move(env);
}

AppEnvironment::AppEnvironment() {
  values_ = {
      {"WebDomain", "www.ombrix.example"},
      {"H5Domain", "h5.ombrix.example"},
      {"Q4ServiceDomain", "q4.ombrix.example"},
      {"Q5ServiceDomain", "q5.ombrix.example"},
      {"StandbyServiceDomain1", "q5-standby1.ombrix.example"},
      {"StandbyServiceDomain2", "q5-standby2.ombrix.example"},
      {"StandbyServiceDomain3", "q5-standby3.ombrix.example"},
      {"FDServiceDomain", "feedback.ombrix.example"},
      {"AppStoreID", "1000000001"},
      {"AppName", "Ombrix"},
      {"AppScheme", "tessaryn"},
      {"AppBrand", "ombrix"},
      {"AppRealBrand", "ombrix"},
      {"DemoAccount", "8613800000001"},
      {"FeedbackEmail", "support@ombrix.example"},
      {"FeedbackQQGroupNum", "100000001"},
      {"FeedbackQQGroupKey", "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0"},
      {"AlipayPID", "2088000000000001"},
      {"AlipayAppID", "2016000000000001"},
      {kAnalyticsTrackingID, "UA-00000000-1"},
      {kAnalyticsURL, "https://analytics.ombrix.example/collect"},
      {kGeoServiceHost, "ip.ombrix.example"},
      {kGeoTaobaoURL, "http://geo1.ombrix.example/service/getIpInfo.php"},
      {kGeoIpipURL, "http://geo2.ombrix.example/"},
      {kIPEchoURL, "http://echo.ombrix.example/"},
      {kStoreServerURL, ""},
      {kUpdateSupportChatURL, "https://chat.ombrix.example/live?site=client-update"},
      {kLegacyServiceHost, ""},
      {kTunnelDnsServer, ""},
      {kTunnelDnsServerChina, ""},
      {kLegacyFallbackHost1, "q5-fallback1.ombrix.example"},
      {kLegacyFallbackHost2, "q5-fallback2.ombrix.example"},
      {kLegacySupportChatURL, "https://chat.ombrix.example/chat?account=ombrix"},
      {kLegacyTopupBase, "http://www.ombrix.example"},
      // The customer-service chat page of the acceleration screen; empty: the button opens nothing.
      {"SupportChatURL", ""},
  };
}

AppDravikEnvironment::AppDravikEnvironment() {
  assign("WebDomain", "www.dravik.example");
  assign("H5Domain", "www.dravik.example");
  assign("Q4ServiceDomain", "api.dravik.example");
  assign("Q5ServiceDomain", "api.dravik.example");
  assign("FDServiceDomain", "feedback.dravik.example");
  assign("StandbyServiceDomain1", "api-standby1.dravik.example");
  assign("StandbyServiceDomain2", "api-standby2.dravik.example");
  assign("StandbyServiceDomain3", "api-standby3.dravik.example");
  assign("AppScheme", "Dravik");
  assign("AppName", "Dravik");
  assign("AppBrand", "dravik");
  assign("AppRealBrand", "dravik");
  assign("FeedbackEmail", "support@dravik.example");
  assign("FeedbackQQGroupNum", "200000002");
  assign("FeedbackQQGroupKey", "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90");
}

AppOxlaEnvironment::AppOxlaEnvironment() {
  assign("WebDomain", "www.oxla.example");
  assign("H5Domain", "www.oxla.example");
  assign("Q4ServiceDomain", "api.oxla.example");
  assign("Q5ServiceDomain", "api.oxla.example");
  assign("FDServiceDomain", "feedback.oxla.example");
  assign("StandbyServiceDomain1", "");
  assign("StandbyServiceDomain2", "");
  assign("StandbyServiceDomain3", "");
  assign("AppScheme", "Dravik");
  assign("AppName", "OxlaVPN");
  assign("AppBrand", "dravik");
  assign("AppRealBrand", "dravik");
  assign("FeedbackEmail", "support@oxla.example");
  assign("FeedbackQQGroupNum", "200000002");
  assign("FeedbackQQGroupKey", "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90");
}

AppDebugEnvironment::AppDebugEnvironment() {
  assign("WebDomain", "127.0.0.1");
  assign("H5Domain", "127.0.0.1");
  assign("Q4ServiceDomain", "127.0.0.1");
  assign("Q5ServiceDomain", "127.0.0.1");
  assign("StandbyServiceDomain1", "127.0.0.1");
  assign("StandbyServiceDomain2", "127.0.0.1");
  assign("StandbyServiceDomain3", "127.0.0.1");
  assign("FDServiceDomain", "127.0.0.1");
}

std::string AppEnvironment::AppName() const { return gelmora::localizedString(value("AppName")); }

void AppEnvironment::assign(std::string_view name, std::string v) {
  values_.insert_or_assign(std::string(name), std::move(v));
}

std::string AppEnvironment::value(std::string_view name) const {
  auto it = values_.find(name);
  return it != values_.end() ? it->second : std::string();
}

void AppEnvironment::applyBrandFileFromEnvironment() {
  const char* file = std::getenv(kBrandFileVariable);
  if (file && *file) applyBrandFile(file);
}

bool AppEnvironment::applyBrandFile(const std::filesystem::path& file) {
  auto refuse = [&](const std::string& why) {
    gelmora::logLine("brand file " + file.string() + " refused: " + why);
    return false;
  };
  std::ifstream in(file, std::ios::binary);
  if (!in) return refuse("cannot be read");
  std::string text(kMaxBrandFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxBrandFileSize) return refuse("too large");
  auto doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return refuse("not JSON");
  if (!doc.is_object()) return refuse("not a JSON object");
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    if (values_.find(it.key()) == values_.end()) return refuse("unknown name \"" + it.key() + "\"");
    if (!it.value().is_string()) return refuse("value of \"" + it.key() + "\" is not text");
  }
  for (auto it = doc.begin(); it != doc.end(); ++it)
    assign(it.key(), it.value().get<std::string>());
  gelmora::logLine("brand file " + file.string() + " applied");
  return true;
}
