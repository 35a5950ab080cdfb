#include "gelmora/General/Helper/TsSystemInformation.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "../../Shared/TextSupport.h"
#include "DeviceFacts.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Log.h"
#include "gelmora/version.h"

namespace {

constexpr const char* kFallbackAddress = "127.0.0.1";
constexpr std::size_t kMaxAnswerUnits = 128;
constexpr std::size_t kMaxRun = 31;
// More than any acceptable answer; the transfer stops there.
constexpr std::size_t kMaxBody = 4096;

std::mutex cacheMutex;
std::string cachedAddress;

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t n = size * count;
  if (body->size() + n > kMaxBody) return 0;  // aborts the transfer
  body->append(data, n);
  return n;
}

std::string echoURL() {
  if (auto env = AppEnvironment::currentEnvironment()) {
    return env->setting(AppEnvironment::kIPEchoURL);
  }
  return AppEnvironment().setting(AppEnvironment::kIPEchoURL);
}

std::optional<std::string> fetch(const std::string& url) {
  static std::once_flag curlInit;
  std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return std::nullopt;
  std::string body;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "curl/7.43.0");
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  const CURLcode rc = curl_easy_perform(curl.get());
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK || status < 200 || status > 299) {
    gelmora::logLine(
        std::string("public address lookup failed: ") +
        (rc != CURLE_OK ? curl_easy_strerror(rc) : "HTTP status " + std::to_string(status)));
    return std::nullopt;
  }
  return body;
}

}  // namespace

std::string TsSystemInformation::clientVersion() {
  return std::string(gelmora::kShortVersion) + "." + gelmora::kBuildVersion;
}

std::string TsSystemInformation::macAddress() {
  auto primary = gelmora::device::primaryInterface();
  if (!primary || !primary->mac) return "000000000000";
  const auto& m = *primary->mac;
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return text;
}

std::string TsSystemInformation::osVersion() {
  return gelmora::device::osRelease("VERSION_ID").value_or("(null)");
}

std::optional<std::string> TsSystemInformation::publicAddressFromEchoAnswer(std::string_view body) {
  if (body.empty() || !gelmora::text::isValidUtf8(body) ||
      gelmora::text::utf16Length(body) >= kMaxAnswerUnits) {
    return std::nullopt;
  }
  const auto start = body.find_first_of("123456789");
  if (start == std::string_view::npos) return std::nullopt;
  auto end = body.find_first_not_of("0123456789.", start);
  if (end == std::string_view::npos) end = body.size();
  if (end - start >= kMaxRun) return std::nullopt;
  const std::string run(body.substr(start, end - start));
  in_addr addr{};
  if (::inet_pton(AF_INET, run.c_str(), &addr) != 1) return std::nullopt;
  return run;
}

std::string TsSystemInformation::localIPAddress() {
  {
    std::lock_guard lock(cacheMutex);
    if (!cachedAddress.empty()) return cachedAddress;
  }
  const std::string url = echoURL();
  if (url.empty()) return kFallbackAddress;  // switched off for this deployment
  auto body = fetch(url);
  if (!body) return kFallbackAddress;
  auto address = publicAddressFromEchoAnswer(*body);
  if (!address) return kFallbackAddress;
  std::lock_guard lock(cacheMutex);
  if (cachedAddress.empty()) cachedAddress = *address;
  return cachedAddress;
}

void TsSystemInformation::resetPublicAddressCache() {
  std::lock_guard lock(cacheMutex);
  cachedAddress.clear();
}
