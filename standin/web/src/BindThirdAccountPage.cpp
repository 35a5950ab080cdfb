// The bind page of the service's outside-account flow, served by the web stand-in and acting on
// the account stand-in's store.
#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>

#include "PexaraAPI/PXACrypto.h"
#include "standin/AccountServer.h"
#include "standin/WebStandin.h"

using nlohmann::json;

namespace standin {

namespace {

// Providers the account service keeps links for (its linked-sns keys).
constexpr const char* kProviders[] = {"wechat", "qq",        "weibo", "facebook", "twitter",
                                      "google", "instagram", "line",  "kakao"};

bool knownProvider(const std::string& provider) {
  for (const char* p : kProviders)
    if (provider == p) return true;
  return false;
}

// The uid a login code carries: "uid=<digits>" in the unscrambled form text.
std::optional<int64_t> uidOfLoginCode(const std::string& code) {
  if (code.empty()) return std::nullopt;
  const auto plain = PXACrypto::decryptedDataFromString(code);
  if (!plain || plain->empty()) return std::nullopt;
  const auto fields = account::decodeForm(*plain);
  const auto it = fields.find("uid");
  if (it == fields.end() || it->second.empty()) return std::nullopt;
  int64_t uid = 0;
  const char* end = it->second.data() + it->second.size();
  const auto [ptr, ec] = std::from_chars(it->second.data(), end, uid);
  if (ec != std::errc() || ptr != end || uid <= 0) return std::nullopt;
  return uid;
}

// The page: reports `message` (the bridge's "userLoginSuccess" data) once loaded. `heading` is
// one of this file's fixed texts.
std::string page(const std::string& heading, const json& message) {
  // A JavaScript string literal of the message's JSON text; "<" escaped so that no text from
  // the store can end the script element.
  std::string literal = json(message.dump()).dump();
  std::string safe;
  for (char c : literal) {
    if (c == '<')
      safe += "\\u003c";
    else
      safe += c;
  }
  return "<!DOCTYPE html>\n"
         "<html><head><meta charset=\"utf-8\"><title>outside account</title></head>\n"
         "<body style=\"margin:0;background:#336699;color:white;font-family:sans-serif\">\n"
         "<h3>" +
         heading +
         "</h3>\n"
         "<script>\n"
         "  document.cookie = \"standin_session=1; path=/\";\n"
         "  WebViewJavascriptBridge.callHandler('userLoginSuccess', " +
         safe +
         ");\n"
         "</script>\n"
         "</body></html>\n";
}

Reply failure(const std::string& reason) {
  return Reply::text(page("Outside account not linked", json{{"code", 1}, {"info", reason}}),
                     "text/html", 400);
}

}  // namespace

void WebStandin::addBindThirdAccountPage(HttpStandin& server, account::AccountServer& account) {
  server.handle("/auth/bind-third-account-redirect", [&account](const Request& request) {
    const auto query = account::decodeForm(request.query);
    auto field = [&](const char* name) {
      const auto it = query.find(name);
      return it == query.end() ? std::string() : it->second;
    };
    const std::string provider = field("third_account_provider");
    if (!knownProvider(provider)) return failure("unknown outside account provider");
    const auto uid = uidOfLoginCode(field("logincode"));
    if (!uid) return failure("login code not readable");
    if (!account.linkProvider(*uid, provider, provider + "-" + std::to_string(*uid)))
      return failure("no such account");
    const json profile = account.answer("/q5client/user/profile", json{{"uid", *uid}});
    if (profile.value("code", -1) != 0 || !profile.contains("data"))
      return failure("no such account");
    return Reply::text(page("Outside account linked", json{{"code", 0}, {"data", profile["data"]}}),
                       "text/html");
  });
}

}  // namespace standin
