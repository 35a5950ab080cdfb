// The feedback page addresses of the user defaults; apart from the plain keys because reading
// them reaches the analytics service for its client id.
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "gelmora/Shared/Tessaryn.h"

std::optional<std::string> AppUserDefaults::feedbackUrl(const char* key) const {
  auto stored = text(key);
  if (!stored || stored->empty()) return stored;
  std::string cid = clientIdProvider_ ? clientIdProvider_() : app().analytics().cid();
  std::string lang = app().language().value_or("");
  // The parameters belong to the query, which ends where a fragment begins.
  const std::size_t hash = stored->find('#');
  std::string base = stored->substr(0, hash);
  const std::string fragment = hash == std::string::npos ? std::string() : stored->substr(hash);
  const char* joint = base.find('?') == std::string::npos ? "?lang=" : "&lang=";
  return base + joint + Tessaryn::urlEncode(lang) + "&_ga=" + Tessaryn::urlEncode(cid) + fragment;
}

std::optional<std::string> AppUserDefaults::loginFeedbackUrl() const {
  return feedbackUrl("loginFeedbackUrl");
}
void AppUserDefaults::setLoginFeedbackUrl(std::optional<std::string> v) {
  setText("loginFeedbackUrl", std::move(v));
}
std::optional<std::string> AppUserDefaults::payFeedbackUrl() const {
  return feedbackUrl("payFeedbackUrl");
}
void AppUserDefaults::setPayFeedbackUrl(std::optional<std::string> v) {
  setText("payFeedbackUrl", std::move(v));
}
std::optional<std::string> AppUserDefaults::endBoostFeedbackUrl() const {
  return feedbackUrl("endBoostFeedbackUrl");
}
void AppUserDefaults::setEndBoostFeedbackUrl(std::optional<std::string> v) {
  setText("endBoostFeedbackUrl", std::move(v));
}
std::optional<std::string> AppUserDefaults::logoutFeedbackUrl() const {
  return feedbackUrl("logoutFeedbackUrl");
}
void AppUserDefaults::setLogoutFeedbackUrl(std::optional<std::string> v) {
  setText("logoutFeedbackUrl", std::move(v));
}
