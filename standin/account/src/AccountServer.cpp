#include "standin/AccountServer.h"

#include <Tovra/Codec/Base64.h>
#include <httplib.h>

#include <atomic>
#include <ctime>

#include "JolvexAPI/JVXCrypto.h"
#include "SampleAnswers.h"
#include "standin/StoreStandin.h"

namespace standin::account {
namespace {

using nlohmann::json;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
               hexValue(s[i + 2]) >= 0) {
      out += char(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The service path a request is meant for: "/fastclient/x" is served as "/q5client/x".
std::string servicePath(const std::string& path) {
  static const std::string kFast = "/fastclient";
  if (path.compare(0, kFast.size(), kFast) == 0) return "/q5client" + path.substr(kFast.size());
  return path;
}

std::string text(const json& req, const char* key) {
  auto it = req.find(key);
  if (it == req.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
  return "";
}

int64_t number(const json& req, const char* key) {
  auto it = req.find(key);
  if (it == req.end()) return 0;
  if (it->is_number()) return it->get<int64_t>();
  if (it->is_string()) return std::atoll(it->get<std::string>().c_str());
  return 0;
}

json failure(int code, const std::string& info) { return {{"code", code}, {"info", info}}; }

}  // namespace

std::map<std::string, std::string> decodeForm(const std::string& body) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string::npos) amp = body.size();
    std::string_view pair(body.data() + pos, amp - pos);
    if (!pair.empty()) {
      size_t eq = pair.find('=');
      std::string key = percentDecode(pair.substr(0, eq));
      std::string value = eq == std::string_view::npos ? "" : percentDecode(pair.substr(eq + 1));
      out[key] = value;
    }
    pos = amp + 1;
  }
  return out;
}

AccountServer::AccountServer()
    : samples_(json::parse(sampleAnswersJSON())),
      productIdentifiers_{"cn.gelmoras.pkg.month", "cn.gelmoras.pkg.season",
                          "cn.gelmoras.pkg.year"} {}

void AccountServer::setProductIdentifiers(std::vector<std::string> ids) {
  std::lock_guard lock(mu_);
  productIdentifiers_ = std::move(ids);
}

void AccountServer::setStorePublicKey(std::string rawKey) {
  std::lock_guard lock(mu_);
  storeKey_ = std::move(rawKey);
}

void AccountServer::setCredit(int64_t uid, Credit credit) {
  std::lock_guard lock(mu_);
  credits_[uid] = std::move(credit);
}

std::optional<Credit> AccountServer::creditOf(int64_t uid) const {
  std::lock_guard lock(mu_);
  auto c = credits_.find(uid);
  if (c == credits_.end()) return std::nullopt;
  return c->second;
}

std::vector<ShopOrder> AccountServer::orders() const {
  std::lock_guard lock(mu_);
  return orders_;
}

void AccountServer::setRequestObserver(std::function<void(const SeenRequest&)> observer) {
  std::lock_guard lock(mu_);
  observer_ = std::move(observer);
}

AccountServer::~AccountServer() { stop(); }

bool AccountServer::start(uint16_t port) {
  server_ = std::make_unique<httplib::Server>();
  // One request per connection: a kept-alive idle connection would hold stop() for seconds.
  server_->set_keep_alive_max_count(1);
  server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    SeenRequest seen;
    seen.path = req.path;
    seen.body = req.body;
    seen.form = decodeForm(req.body);
    for (const auto& [k, v] : req.headers) seen.headers[k] = v;
    json request = json::object();
    if (auto it = seen.form.find("info"); it != seen.form.end()) {
      if (auto plain = JVXCrypto::decryptedDataFromString(it->second)) {
        seen.infoText = *plain;
        auto parsed = json::parse(*plain, nullptr, false);
        if (!parsed.is_discarded()) {
          seen.info = parsed;
          if (parsed.is_object()) request = parsed;
        }
      }
    }
    std::string path = servicePath(req.path);
    BodyMode mode;
    bool known;
    std::optional<std::string> plaintext;
    std::function<void(const SeenRequest&)> observer;
    {
      std::lock_guard lock(mu_);
      requests_.push_back(seen);
      observer = observer_;
      mode = bodyMode_;
      known = samples_.contains(path);
      plaintext = plaintextBody_;
    }
    if (observer) observer(seen);
    if (!known) {
      res.status = 404;
      res.set_content("no such path", "text/plain");
      return;
    }
    if (plaintext) {
      res.set_content(JVXCrypto::encryptedStringOfString(*plaintext), "text/plain");
      return;
    }
    switch (mode) {
      case BodyMode::NotJSONPlaintext:
        res.set_content(JVXCrypto::encryptedStringOfString("not json"), "text/plain");
        return;
      case BodyMode::JSONScalar:
        res.set_content(JVXCrypto::encryptedStringOfString("42"), "text/plain");
        return;
      case BodyMode::EncipheredBlank:
        res.set_content(JVXCrypto::encryptedStringOfString(" "), "text/plain");
        return;
      case BodyMode::Empty200:
        res.set_content("", "text/plain");
        return;
      case BodyMode::Html502:
        res.status = 502;
        res.set_content("<html><body><h1>502 Bad Gateway</h1></body></html>", "text/html");
        return;
      case BodyMode::Normal:
        break;
    }
    json out = answer(path, request);
    res.set_content(JVXCrypto::encryptedStringOfString(out.dump()), "text/plain");
  });
  int bound = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                        : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) return false;
  port_ = static_cast<uint16_t>(bound);
  auto exited = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([this, exited] {
    server_->listen_after_bind();
    *exited = true;
  });
  // The socket already listens after bind, so clients may connect at once; waiting for the
  // accept loop keeps stop() from racing its start.
  while (!server_->is_running() && !*exited) std::this_thread::yield();
  return !*exited || server_->is_running();
}

void AccountServer::stop() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string AccountServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

Account& AccountServer::addAccount(Account a) {
  std::lock_guard lock(mu_);
  if (a.uid == 0) a.uid = nextUid_++;
  accounts_.push_back(std::move(a));
  return accounts_.back();
}

std::optional<Account> AccountServer::accountByUid(int64_t uid) const {
  std::lock_guard lock(mu_);
  for (const auto& a : accounts_)
    if (a.uid == uid) return a;
  return std::nullopt;
}

std::optional<std::string> AccountServer::sentCode(const std::string& to) const {
  std::lock_guard lock(mu_);
  auto it = sentCodes_.find(to);
  if (it == sentCodes_.end()) return std::nullopt;
  return it->second;
}

std::vector<SeenRequest> AccountServer::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

std::optional<SeenRequest> AccountServer::lastRequest() const {
  std::lock_guard lock(mu_);
  if (requests_.empty()) return std::nullopt;
  return requests_.back();
}

void AccountServer::clearRequests() {
  std::lock_guard lock(mu_);
  requests_.clear();
}

void AccountServer::setSampleAnswers(bool on) {
  std::lock_guard lock(mu_);
  sampleAnswers_ = on;
}

void AccountServer::setCodeForPath(const std::string& path, int code, const std::string& info) {
  std::lock_guard lock(mu_);
  codes_[path] = {code, info};
}

void AccountServer::clearCodes() {
  std::lock_guard lock(mu_);
  codes_.clear();
}

void AccountServer::setPop(bool on) {
  std::lock_guard lock(mu_);
  pop_ = on;
}

void AccountServer::setPayloadUnderResult(bool on) {
  std::lock_guard lock(mu_);
  underResult_ = on;
}

void AccountServer::setBodyMode(BodyMode mode) {
  std::lock_guard lock(mu_);
  bodyMode_ = mode;
}

void AccountServer::setPlaintextBody(std::optional<std::string> plaintext) {
  std::lock_guard lock(mu_);
  plaintextBody_ = std::move(plaintext);
}

void AccountServer::setRuleList(json speedStartInfo) {
  std::lock_guard lock(mu_);
  ruleList_ = std::move(speedStartInfo);
}

void AccountServer::setRequireMailCode(bool on) {
  std::lock_guard lock(mu_);
  requireMailCode_ = on;
}

void AccountServer::setStartupDomains(json domainList) {
  std::lock_guard lock(mu_);
  startupDomains_ = std::move(domainList);
}

json AccountServer::answer(const std::string& rawPath, const json& request) {
  std::lock_guard lock(mu_);
  std::string path = servicePath(rawPath);
  if (auto it = codes_.find(path); it != codes_.end())
    return failure(it->second.first, it->second.second);
  if (auto it = scripts_.find(path); it != scripts_.end() && !it->second.empty()) {
    json out = it->second.front();
    if (it->second.size() > 1) it->second.erase(it->second.begin());
    return out;
  }
  if (!samples_.contains(path)) return failure(404, "no such path");
  json payload = samples_[path];
  if (!sampleAnswers_) {
    bool handled = false;
    json out = storeAnswer(path, request, &handled);
    if (handled) {
      if (out.contains("code")) return out;  // a refusal
      payload = out.contains("data") ? out["data"] : json();
    }
  }
  if (pop_ && payload.is_object()) {
    payload["pop"] = 1;
    payload["pop_title"] = "Notice";
    payload["pop_content"] = "Service notice";
    payload["pop_url"] = "http://127.0.0.1/notice";
    payload["buttons"] =
        json::array({{{"text", "OK"}, {"action", "close"}, {"url", ""}},
                     {{"text", "Open"}, {"action", "open"}, {"url", "http://127.0.0.1/notice"}}});
  }
  json out = {{"code", 0}, {"msg", "success"}};
  if (!payload.is_null()) out[underResult_ ? "result" : "data"] = payload;
  return out;
}

json AccountServer::userInfo(const Account& a) const {
  json u = samples_["/q5client/user/login"];
  u["uid"] = a.uid;
  u["username"] = a.username;
  u["email"] = a.email;
  u["phone_number"] = a.phone;
  u["login_token"] = a.loginToken;
  u["token"] = a.loginToken;
  u["rest_traffic"] = a.restTraffic;
  u["real_name_verification"] = a.realNameVerification;
  if (auto c = credits_.find(a.uid); c != credits_.end()) {
    u["package_name"] = c->second.packageName;
    u["expire_date"] = c->second.expireDate;
    u["expired"] = 0;
  }
  return u;
}

Account* AccountServer::findLogin(const std::string& name) {
  if (name.empty()) return nullptr;
  for (auto& a : accounts_)
    if (a.username == name || a.email == name || a.phone == name) return &a;
  return nullptr;
}

bool AccountServer::linkProvider(int64_t uid, const std::string& provider,
                                 const std::string& name) {
  std::lock_guard lock(mu_);
  for (auto& a : accounts_) {
    if (a.uid != uid) continue;
    linked_[uid][provider] = name;
    return true;
  }
  return false;
}

Account* AccountServer::byUid(const json& req) {
  int64_t uid = number(req, "uid");
  for (auto& a : accounts_)
    if (a.uid == uid) return &a;
  return nullptr;
}

// Store-backed answers: {"data": payload} (or {} for none) when handled, or a refusal with
// "code"; *handled stays false for paths the store does not keep.
json AccountServer::storeAnswer(const std::string& path, const json& req, bool* handled) {
  *handled = true;
  auto signIn = [&](Account& a) {
    a.loginToken = "token-" + std::to_string(a.uid) + "-" + std::to_string(requests_.size());
    a.online = true;
    return json{{"data", userInfo(a)}};
  };
  auto sendCode = [&](const std::string& to) {
    std::string code = std::to_string(100000 + sentCodes_.size() * 7919 % 900000);
    sentCodes_[to] = code;
    return json::object();
  };
  auto codeMatches = [&](const std::string& to, const std::string& code) {
    auto it = sentCodes_.find(to);
    return it != sentCodes_.end() && !code.empty() && it->second == code;
  };
  auto newAccount = [&](Account a) -> Account& {
    a.uid = nextUid_++;
    accounts_.push_back(std::move(a));
    return accounts_.back();
  };

  if (path == "/q5client/user/login") {
    std::string token = text(req, "token");
    if (!token.empty()) {
      for (auto& a : accounts_)
        if (a.loginToken == token) return signIn(a);
      return failure(1002, "login expired");
    }
    std::string name = text(req, "username");
    if (name.empty()) name = text(req, "phone");
    Account* a = findLogin(name);
    if (a && !text(req, "sms_code").empty()) {
      if (codeMatches(a->phone, text(req, "sms_code"))) return signIn(*a);
      return failure(20002, "wrong verification code");
    }
    if (!a || a->password != text(req, "password"))
      return failure(20001, "wrong user name or password");
    return signIn(*a);
  }
  if (path == "/q5client/user/sms-login") {
    std::string phone = text(req, "phone");
    if (!codeMatches(phone, text(req, "verify_code")))
      return failure(20002, "wrong verification code");
    Account* a = findLogin(phone);
    if (!a) a = &newAccount({0, "", "", phone, text(req, "country_code"), "", "", 1024, false, 1});
    return signIn(*a);
  }
  if (path == "/api/phone/verify-code") return sendCode(text(req, "phone"));
  if (path == "/q5client/user/send-email-verify-code") return sendCode(text(req, "email"));
  if (path == "/q5client/user/reset-password-by-mail") {
    sendCode(text(req, "mail"));
    return json{{"data", {{"message", "sent"}}}};
  }
  if (path == "/api/user/register") {
    std::string phone = text(req, "phone");
    if (!codeMatches(phone, text(req, "code"))) return failure(20002, "wrong verification code");
    if (findLogin(phone)) return failure(20003, "account exists");
    newAccount(
        {0, "", "", phone, text(req, "country_code"), text(req, "password"), "", 1024, false, 1});
    return json{{"data",
                 {{"account_status", 1},
                  {"content", "welcome"},
                  {"duration", "7"},
                  {"flow_size", "1024"},
                  {"traffic", "1024"}}}};
  }
  if (path == "/q5client/user/mail-register-new" || path == "/q5client/user/mail-register") {
    std::string mail = text(req, "mail");
    bool withCode = path == "/q5client/user/mail-register-new";
    const bool codeOptional = !requireMailCode_ && text(req, "code").empty();
    if (withCode && !codeOptional && !codeMatches(mail, text(req, "code")))
      return failure(20002, "wrong verification code");
    if (mail.empty() || findLogin(mail)) return failure(20003, "account exists");
    Account& a = newAccount({0, mail, mail, "", "", text(req, "password"), "", 1024, false, 1});
    if (withCode) return signIn(a);
    return json{{"data", {{"message", "registered"}}}};
  }
  if (path == "/api/user/reset-password" || path == "/q5client/user/mail-reset-password") {
    std::string to = text(req, path == "/api/user/reset-password" ? "phone" : "mail");
    if (!codeMatches(to, text(req, "code"))) return failure(20002, "wrong verification code");
    Account* a = findLogin(to);
    if (!a) return failure(20004, "no such account");
    a->password = text(req, "password");
    return json::object();
  }
  if (path == "/api/user/first-login") {
    std::string phone = text(req, "phone");
    if (!codeMatches(phone, text(req, "code"))) return failure(20002, "wrong verification code");
    return json{{"data", {{"verified", findLogin(phone) ? 1 : 0}}}};
  }
  if (path == "/q5client/iap/get-product-identifier-list") {
    if (!byUid(req)) return failure(20004, "no such account");
    return json{{"data", {{"product_identifiers", productIdentifiers_}}}};
  }
  if (path == "/q5client/iap/create-order") {
    if (!byUid(req)) return failure(20004, "no such account");
    std::string product = text(req, "product_identifier");
    if (product.empty()) return failure(30001, "no product");
    ShopOrder order{number(req, "uid"), product, "order-" + std::to_string(orders_.size() + 1), {}};
    orders_.push_back(order);
    return json{{"data", {{"order_id", order.orderId}}}};
  }
  if (path == "/q5client/iap/finish-payment") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    auto bytes = tq::base64Decode(text(req, "receipt"));
    if (!bytes) return failure(30002, "receipt is not Base64");
    std::string why;
    auto receipt = standin::verifyStoreReceipt(*bytes, storeKey_, &why);
    if (!receipt) return failure(30003, why);
    if (receipt->bundleId != standin::StoreStandin::kBundleId)
      return failure(30004, "receipt of another application");
    // Credit each transaction not seen before that pays an open order of this user.
    for (const auto& t : receipt->transactions) {
      if (std::find(creditedTransactions_.begin(), creditedTransactions_.end(), t.id) !=
          creditedTransactions_.end())
        continue;
      auto order = std::find_if(orders_.begin(), orders_.end(), [&](const ShopOrder& o) {
        return o.uid == a->uid && o.product == t.product && o.creditedTransaction.empty();
      });
      if (order == orders_.end()) continue;
      order->creditedTransaction = t.id;
      creditedTransactions_.push_back(t.id);
      int days = t.product.ends_with(".year") ? 365 : t.product.ends_with(".season") ? 90 : 30;
      std::time_t until = std::time(nullptr) + std::time_t(days) * 86400;
      char date[16];
      std::tm tm{};
      ::gmtime_r(&until, &tm);
      std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
      credits_[a->uid] = Credit{t.product, date};
    }
    return json{{"data", {{"order_id", ""}}}};
  }
  if (path == "/q5client/user/profile") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    return json{{"data", userInfo(*a)}};
  }
  if (path == "/q5client/user/heartbeat") {
    Account* a = byUid(req);
    if (!a || !a->online) return failure(101, "signed out");
    a->restTraffic -= double(number(req, "up_traffic") + number(req, "down_traffic")) / 1048576.0;
    json hb = samples_[path];
    hb["rest_traffic"] = a->restTraffic;
    return json{{"data", hb}};
  }
  if (path == "/q5client/user/logout") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    a->online = false;
    a->loginToken.clear();
    return json{{"data",
                 {{"feedback", "http://127.0.0.1/feedback/logout"},
                  {"feedback_pop_prompt", "How was it?"}}}};
  }
  if (path == "/q5client/user/bind-mail") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    a->email = text(req, "mail");
    return json{{"data", {{"require_password", a->password.empty() ? 1 : 0}}}};
  }
  if (path == "/q5client/user/bind-phone" || path == "/q5client/user/bind-new-phone") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    std::string phone = text(req, "phone");
    if (!codeMatches(phone, text(req, "verify_code")))
      return failure(20002, "wrong verification code");
    a->phone = phone;
    a->countryCode = text(req, "country_code");
    if (path == "/q5client/user/bind-new-phone") return json::object();
    return json{{"data", {{"require_password", a->password.empty() ? 1 : 0}}}};
  }
  if (path == "/q5client/user/linked-sns") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    // Flags and names from what the account holds: its phone, its mail and its linked providers.
    json sns = {{"phone", a->phone.empty() ? 0 : 1}, {"mail", a->email.empty() ? 0 : 1}};
    json names = json::object();
    if (!a->phone.empty()) {
      names["phone"] = a->phone;
      names["country_code"] = a->countryCode;
    }
    if (!a->email.empty()) names["mail"] = a->email;
    const auto& linked = linked_[a->uid];
    for (const char* p :
         {"wechat", "qq", "weibo", "facebook", "twitter", "google", "instagram", "line", "kakao"}) {
      auto it = linked.find(p);
      sns[p] = it == linked.end() ? 0 : 1;
      if (it != linked.end()) names[p] = it->second;
    }
    return json{{"data", {{"linked_sns", sns}, {"linked_name", names}}}};
  }
  if (path == "/q5client/user/unbind-sns") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    const std::string provider = text(req, "third_account_provider");
    if (provider == "email" && !a->email.empty()) {
      a->email.clear();
      return json::object();
    }
    linked_[a->uid].erase(provider);  // unlinking what is not linked changes nothing
    return json::object();
  }
  if (path == "/q5client/user/link-sns") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    auto third = req.find("third_account");
    if (third == req.end() || !third->is_object() || text(*third, "provider").empty() ||
        text(*third, "identity").empty())
      return failure(20006, "no outside account");
    std::string name = text(*third, "nickname");
    if (name.empty()) name = text(*third, "identity");
    linked_[a->uid][text(*third, "provider")] = name;
    return json::object();
  }
  if (path == "/q5client/phone/verify-phone") {
    // Proves the signed-in user holds the account's phone: the code sent to that phone.
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    if (a->phone.empty()) return failure(20005, "no phone bound");
    if (!codeMatches(a->phone, text(req, "verify_code")))
      return failure(20002, "wrong verification code");
    return json::object();
  }
  if (path == "/q5client/user/unbind-phone") {
    Account* a = byUid(req);
    if (!a) return failure(20004, "no such account");
    a->phone.clear();
    return json::object();
  }
  if (path == "/q5client/rule/list" && !ruleList_.is_null()) return json{{"data", ruleList_}};
  if (path == "/q5client/parameters/startup" && !startupDomains_.is_null()) {
    json p = samples_[path];
    p["domain_list"] = startupDomains_;
    return json{{"data", p}};
  }
  *handled = false;
  return json();
}

void AccountServer::scriptPayloads(const std::string& path, std::vector<json> payloads) {
  std::vector<json> answers;
  for (auto& p : payloads) {
    json out = {{"code", 0}, {"msg", "success"}};
    if (!p.is_null()) out["data"] = std::move(p);
    answers.push_back(std::move(out));
  }
  scriptAnswers(path, std::move(answers));
}

void AccountServer::scriptAnswers(const std::string& path, std::vector<json> answers) {
  std::lock_guard lock(mu_);
  if (answers.empty()) {
    scripts_.erase(path);
  } else {
    scripts_[path] = std::move(answers);
  }
}

void AccountServer::clearScripts() {
  std::lock_guard lock(mu_);
  scripts_.clear();
}

}  // namespace standin::account
