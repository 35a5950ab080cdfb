#include "standin/GameStandin.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>

#include "PexaraAPI/PXACrypto.h"

namespace standin {
namespace {

using nlohmann::json;

json userSample() {
  return json{{"uid", 10001},
              {"token", "tok-10001"},
              {"username", "player"},
              {"email", "player@example.com"},
              {"phone", "13800000000"},
              {"country_code", 86},
              {"expire_date", "2027-01-01"},
              {"product_id", 3},
              {"product_name", "Month"},
              {"type", 1},
              {"isBind", 1},
              {"isNew", 0},
              {"isSkip", 0},
              {"iap_mode", 0},
              {"arboard", 0},
              {"qq", ""},
              {"wechat", ""}};
}

json ruleSample() {
  return json{{"destination_area_id", {1, 2}},
              {"destination_isp_id", {3}},
              {"host", "203.0.113.0/24"},
              {"port", "3000-4000"},
              {"process", "game.bin"},
              {"protocol", "udp,tcp"},
              {"traffic_id", 1}};
}

json groupV3Sample() {
  return json{{"id", 1},
              {"entrance", json::array({json{{"ip", "198.51.100.1"}, {"port", {7000, "7001"}}}})},
              {"exit", json::array({json{{"addr", "1-2"}, {"nat", "198.51.100.9"}}})}};
}

const std::vector<std::pair<std::string, json>>& sampleTable() {
  static const std::vector<std::pair<std::string, json>> table = {
      {"/api/config/phone-update-config", {{"isUpdate", 1}, {"useable", 1}}},
      {"/api/end", json::object()},
      {"/api/ip/get-current-timestamp", {{"timestamp", 1765000000}}},
      {"/api/path", json::object()},
      {"/api/start", {{"config", {{"mode", 1}}}, {"flowId", "5001"}}},
      {"/api/token", {{"token", "tok-refreshed"}}},
      {"/api/user/china-ip", {{"isChina", 0}}},
      {"/api/user/heartbeat", {{"online", 1}, {"interval", 120}}},
      {"/api/v3/phone/bind", json::object()},
      {"/api/v3/phone/get-code", json::object()},
      {"/api/v3/phone/get-code-voice", json::object()},
      {"/api/v3/phone/login", userSample()},
      {"/api/v3/start-list",
       {{"fileUrl", "sample.rule"},
        {"fileMd5", "00000000000000000000000000000000"},
        {"flowId", 5001},
        {"config", {{"vni-array", json::array({groupV3Sample()})}}}}},
      {"/api/v3/user/bind-wechat", json::object()},
      {"/api/v3/user/un-bind-phone", json::object()},
      {"/api/v3/user/un-bind-wechat", json::object()},
      {"/api/v3/user/update-phone", json::object()},
      {"/api/v3/user/update-phone-confim", json::object()},
      {"/api/v3/user/update-phone-pre", json::object()},
      {"/mapiv1/connect/login", userSample()},
      {"/mapiv1/custom/connect",
       {{"content", "Contact us"},
        {"mail", "help@example.com"},
        {"qq", "10000"},
        {"qq_key", "key"},
        {"title", "Support"}}},
      {"/mapiv1/mobile-notice/normal",
       json::array(
           {json{{"id", "1"}, {"title", "Maintenance"}, {"url", "https://example.com/n/1"}},
            json{{"id", "2"}, {"title", "New games"}, {"url", "https://example.com/n/2"}}})},
      {"/mapiv1/parameters/startup", json::object()},
      {"/mapiv1/start/up",
       {{"flow_id", 5001},
        {"blacklist", json::array({ruleSample()})},
        {"dns_rule",
         json::array(
             {json{{"domain", {"game.example"}}, {"server", "192.0.2.53"}, {"traffic_id", 1}}})},
        {"vni-array",
         json::array(
             {json{{"id", 1},
                   {"dest", json::array({ruleSample()})},
                   {"entrance", json::array({json{{"ip", "198.51.100.1"}, {"port", {7000}}}})},
                   {"exits", json::array({json{{"addr", "1-2"}, {"nat", "198.51.100.9"}}})},
                   {"offset", 4},
                   {"traffic_level", 2},
                   {"up_stream_limit", 100},
                   {"down_stream_limit", 200}}})}}},
      {"/mapiv1/user/guest-register", {{"uid", "10001"}}},
      {"/mapiv1/user/login", userSample()},
      {"/mapiv1/user/userinfo", userSample()},
      // Second family.
      {"/mapiv1/advert/launchScreen",
       {{"enable_skip", 1},
        {"image", "https://example.com/a.png"},
        {"show_time", 3},
        {"skip_button_title", "Skip"},
        {"url", "https://example.com/a"}}},
      {"/mapiv1/advert/tableScreen",
       {{"image", "https://example.com/t.png"}, {"url", "https://example.com/t"}}},
      {"/mapiv1/invitation/addTime", json::object()},
      {"/mapiv1/invitation/firstShare",
       {{"info_img", "https://example.com/s.png"},
        {"info_text", "Share"},
        {"info_title", "Invite"},
        {"info_url", "https://example.com/s"}}},
      {"/mapiv1/invitation/getConfig",
       {{"hours", "24"},
        {"image_url", "https://example.com/i.png"},
        {"is_open", 1},
        {"one", "1"},
        {"rule", "r"},
        {"three", "3"},
        {"two", "2"}}},
      {"/mapiv1/invitation/getRecord",
       {{"hours", "48"},
        {"record", json::array({json{{"date", "2026-12-01"}, {"name", "friend"}}})},
        {"sum", "2"}}},
      {"/mapiv1/mobile/buy",
       {{"set", json::array({json{{"body", "b"}, {"id", {1, 2}}, {"title", "Month"}}})},
        {"top", "t"},
        {"url", "https://example.com/buy"}}},
      {"/mapiv1/mobile/order", {{"order_id", "o-1"}}},
      {"/mapiv1/mobile/product", json::array({json{{"id", "p1"}}, json{{"id", "p2"}}})},
      {"/mapiv1/mobile/validate",
       {{"in_app",
         json::array({json{{"is_trial_period", 0}, {"product_id", "p1"}, {"transaction_id", 1}}})},
        {"msg", "ok"}}},
      {"/mapiv1/user/checkcode", {{"action", 1}}},
      {"/mapiv1/user/confirmcheckcode", {{"action", 1}}},
      {"/mapiv1/user/register", {{"uid", 10002}}},
      {"/mapiv1/user/ResetPwdByEmail", json::object()},
      {"/mapiv1/user/ResetPwdByPhone", json::object()},
      {"/mapiv1/user/ResetPwdCode", json::object()},
  };
  return table;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits "a[b][]" into "a", "b", "".
std::optional<std::vector<std::string>> keyParts(const std::string& key) {
  std::vector<std::string> parts;
  size_t open = key.find('[');
  parts.push_back(key.substr(0, open));
  while (open != std::string::npos) {
    // Requests nest a level or two; a deeper key is refused rather than recursed into.
    if (parts.size() > 32) return std::nullopt;
    size_t close = key.find(']', open);
    if (close == std::string::npos) return std::nullopt;
    parts.push_back(key.substr(open + 1, close - open - 1));
    open = close + 1;
    if (open == key.size()) break;
    if (key[open] != '[') return std::nullopt;
  }
  return parts;
}

// Puts value at parts[i..] under node; "" parts append to a list. A list of objects starts a new
// element when the last one already holds the key (the usual reading of key[][sub]).
void place(json& node, const std::vector<std::string>& parts, size_t i, json value) {
  if (i == parts.size()) {
    node = std::move(value);
    return;
  }
  const std::string& part = parts[i];
  if (part.empty()) {
    if (!node.is_array()) node = json::array();
    if (i + 1 == parts.size()) {
      node.push_back(std::move(value));
      return;
    }
    const std::string& next = parts[i + 1];
    if (node.empty() || !node.back().is_object() || next.empty() || node.back().contains(next)) {
      node.push_back(json::object());
    }
    place(node.back(), parts, i + 1, std::move(value));
    return;
  }
  if (!node.is_object()) node = json::object();
  place(node[part], parts, i + 1, std::move(value));
}

}  // namespace

GameStandin::GameStandin() = default;

GameStandin::~GameStandin() { stop(); }

bool GameStandin::start(const std::string& host, int port) {
  {
    std::lock_guard lock(mu_);
    stopping_ = false;
  }
  server_ = std::make_unique<httplib::Server>();
  // One request per connection: a kept-alive connection would hold stop() for its time-out.
  server_->set_keep_alive_max_count(1);
  server_->Post(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    Reply r = handlePost(req.path, req.body);
    res.status = r.status;
    res.set_content(r.body, "text/plain");
  });
  server_->Get(R"(/gameRule/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
    Reply r = handleRuleFile(req.matches[1]);
    res.status = r.status;
    res.set_content(r.body, "text/plain");
  });
  if (port == 0) {
    port_ = server_->bind_to_any_port(host.c_str());
    if (port_ <= 0) return false;
  } else {
    if (!server_->bind_to_port(host.c_str(), port)) return false;
    port_ = port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is a no-op until the server runs: wait for it, or a quick stop would hang the join.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return server_->is_running();
}

void GameStandin::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  ruleFileWake_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string GameStandin::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> GameStandin::paths() {
  std::vector<std::string> out;
  for (const auto& [path, payload] : sampleTable()) out.push_back(path);
  return out;
}

json GameStandin::samplePayload(const std::string& path) {
  for (const auto& [p, payload] : sampleTable()) {
    if (p == path) return payload;
  }
  return nullptr;
}

void GameStandin::setSampleAnswers(bool on) {
  std::lock_guard lock(mu_);
  sample_ = on;
}

void GameStandin::setCode(const std::string& path, long long code, std::string msg) {
  std::lock_guard lock(mu_);
  codes_[path] = {code, std::move(msg)};
}

void GameStandin::setPayloadKey(PayloadKey key) {
  std::lock_guard lock(mu_);
  payloadKey_ = key;
}

void GameStandin::setAnswer(const std::string& path, json answer) {
  std::lock_guard lock(mu_);
  answers_[path] = std::move(answer);
}

void GameStandin::setPlaintext(const std::string& path, std::string text) {
  std::lock_guard lock(mu_);
  plaintexts_[path] = std::move(text);
}

void GameStandin::setGarbled(const std::string& path, int status, std::string body) {
  std::lock_guard lock(mu_);
  garbled_[path] = {status, std::move(body)};
}

void GameStandin::clearSwitches() {
  std::lock_guard lock(mu_);
  sample_ = false;
  payloadKey_ = PayloadKey::Result;
  codes_.clear();
  answers_.clear();
  plaintexts_.clear();
  garbled_.clear();
}

void GameStandin::setStartGroups(std::vector<Group> groups) {
  std::lock_guard lock(mu_);
  groups_ = std::move(groups);
}

std::string GameStandin::putRuleFile(const std::string& name, const std::string& json) {
  std::string stored = PXACrypto::encryptedStringOfString(json);
  std::lock_guard lock(mu_);
  ruleFiles_[name] = stored;
  return md5Hex(stored);
}

void GameStandin::setStartRuleFile(const std::string& name) {
  std::lock_guard lock(mu_);
  startRuleFile_ = name;
}

void GameStandin::addUser(const std::string& username, const std::string& password, long long uid,
                          const std::string& token) {
  std::lock_guard lock(mu_);
  users_.push_back(User{username, password, uid, token});
}

std::vector<GameStandin::Request> GameStandin::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

std::optional<GameStandin::Request> GameStandin::lastRequest(const std::string& path) const {
  std::lock_guard lock(mu_);
  for (auto it = requests_.rbegin(); it != requests_.rend(); ++it) {
    if (it->path == path) return *it;
  }
  return std::nullopt;
}

std::vector<json> GameStandin::pathReports() const {
  std::lock_guard lock(mu_);
  return pathReports_;
}

std::string GameStandin::md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::optional<std::string> GameStandin::percentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];  // "+" stays "+": the scrambled text may hold it unescaped
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::optional<json> GameStandin::parseForm(const std::string& form) {
  json out = json::object();
  size_t start = 0;
  while (start <= form.size()) {
    size_t end = form.find('&', start);
    if (end == std::string::npos) end = form.size();
    std::string pair = form.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) {
      if (end == form.size()) break;
      continue;
    }
    size_t eq = pair.find('=');
    auto key = percentDecode(pair.substr(0, eq));
    if (!key) return std::nullopt;
    json value = nullptr;
    if (eq != std::string::npos) {
      auto v = percentDecode(pair.substr(eq + 1));
      if (!v) return std::nullopt;
      value = *v;
    }
    auto parts = keyParts(*key);
    if (!parts) return std::nullopt;
    place(out, *parts, 0, std::move(value));
    if (end == form.size()) break;
  }
  return out;
}

json GameStandin::userInfo(const User& u) const {
  json info = userSample();
  info["uid"] = u.uid;
  info["token"] = u.token;
  info["username"] = u.username;
  return info;
}

json GameStandin::storePayload(const std::string& path, const json& params, long long& code,
                               std::string& msg) {
  auto text = [&](const char* key) {
    auto it = params.find(key);
    return it != params.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  if (path == "/mapiv1/user/guest-register") {
    long long uid = nextUid_++;
    std::string name = text("username");
    if (name.empty()) name = "guest" + std::to_string(uid);
    users_.push_back(User{name, text("password"), uid, "tok-" + std::to_string(uid)});
    return json{{"uid", std::to_string(uid)}};
  }
  if (path == "/mapiv1/user/login") {
    for (const auto& u : users_) {
      if (u.username == text("username") && u.password == text("password")) return userInfo(u);
    }
    code = 1;
    msg = "wrong username or password";
    return nullptr;
  }
  if (path == "/mapiv1/user/userinfo") {
    for (const auto& u : users_) {
      if (std::to_string(u.uid) == text("uid")) return userInfo(u);
    }
    code = 2;
    msg = "no such user";
    return nullptr;
  }
  if (path == "/api/v3/start-list") {
    json groups = json::array();
    for (const auto& g : groups_) {
      json entrances = json::array();
      for (const auto& e : g.entrance) entrances.push_back(json{{"ip", e.ip}, {"port", e.ports}});
      json exits = json::array();
      for (const auto& x : g.exit) exits.push_back(json{{"addr", x.addr}, {"nat", x.nat}});
      groups.push_back(json{{"id", g.id}, {"entrance", entrances}, {"exit", exits}});
    }
    auto file = ruleFiles_.find(startRuleFile_);
    return json{{"fileUrl", startRuleFile_},
                {"fileMd5", file == ruleFiles_.end() ? std::string() : md5Hex(file->second)},
                {"flowId", nextFlowId_++},
                {"config", {{"vni-array", groups}}}};
  }
  if (path == "/api/path") {
    json report = params;
    if (auto info = params.find("info"); info != params.end() && info->is_string()) {
      json parsed = json::parse(info->get<std::string>(), nullptr, false);
      if (!parsed.is_discarded()) report["info"] = parsed;
    }
    pathReports_.push_back(report);
    return json::object();
  }
  return samplePayload(path);
}

GameStandin::Reply GameStandin::handlePost(const std::string& path, const std::string& body) {
  std::lock_guard lock(mu_);
  Request record{path, body, {}, {}, nullptr};
  // The body is exactly one form field, "info".
  std::optional<std::string> info;
  if (body.rfind("info=", 0) == 0 && body.find('&') == std::string::npos) {
    info = percentDecode(body.substr(5));
  }
  std::optional<std::string> query;
  if (info) {
    record.info = *info;
    query = PXACrypto::decryptedDataFromString(*info);
  }
  if (query && !query->empty()) {
    record.query = *query;
    if (auto params = parseForm(*query)) record.params = *params;
  } else if (query) {
    record.params = json::object();  // an empty request scrambles to markers and noise only
  }
  requests_.push_back(record);

  if (auto g = garbled_.find(path); g != garbled_.end()) return {g->second.first, g->second.second};
  if (samplePayload(path).is_null() && !answers_.count(path) && !plaintexts_.count(path)) {
    return {404, "not found"};
  }
  if (!info || !query || record.params.is_null()) return {400, "bad request"};
  if (auto p = plaintexts_.find(path); p != plaintexts_.end()) {
    return {200, PXACrypto::encryptedStringOfString(p->second)};
  }
  if (auto a = answers_.find(path); a != answers_.end()) {
    return {200, PXACrypto::encryptedStringOfString(a->second.dump())};
  }

  long long code = 0;
  std::string msg = "ok";
  json payload = sample_ ? samplePayload(path) : storePayload(path, record.params, code, msg);
  if (auto c = codes_.find(path); c != codes_.end()) {
    code = c->second.first;
    msg = c->second.second;
  }
  json answer{{"code", code}, {"msg", msg}};
  if (!payload.is_null()) {
    switch (payloadKey_) {
      case PayloadKey::Result:
        answer["result"] = payload;
        break;
      case PayloadKey::Data:
        answer["data"] = payload;
        break;
      case PayloadKey::Both:
        // "data" holds an empty payload of the same kind, so a reader can tell which it took.
        answer["result"] = payload;
        answer["data"] = payload.is_array() ? json::array() : json::object();
        break;
    }
  }
  return {200, PXACrypto::encryptedStringOfString(answer.dump())};
}

GameStandin::Reply GameStandin::handleRuleFile(const std::string& name) {
  std::unique_lock lock(mu_);
  ++ruleFileRequests_[name];
  // Clearing the delay or stopping answers a waiting download at once.
  const auto delay = ruleFileDelay_;
  if (delay.count() > 0)
    ruleFileWake_.wait_for(lock, delay, [&] { return stopping_ || ruleFileDelay_.count() == 0; });
  if (ruleFileMissing_[name]) return {404, "not found"};
  if (auto wrong = ruleFileBytes_.find(name); wrong != ruleFileBytes_.end()) {
    return {200, wrong->second};
  }
  auto it = ruleFiles_.find(name);
  if (it == ruleFiles_.end()) return {404, "not found"};
  return {200, it->second};
}

int GameStandin::ruleFileRequests(const std::string& name) const {
  std::lock_guard lock(mu_);
  auto it = ruleFileRequests_.find(name);
  return it == ruleFileRequests_.end() ? 0 : it->second;
}

void GameStandin::setRuleFileBytes(const std::string& name, std::string bytes) {
  std::lock_guard lock(mu_);
  if (bytes.empty()) {
    ruleFileBytes_.erase(name);  // back to the stored file
  } else {
    ruleFileBytes_[name] = std::move(bytes);
  }
}

void GameStandin::setRuleFileMissing(const std::string& name, bool missing) {
  std::lock_guard lock(mu_);
  ruleFileMissing_[name] = missing;
}

void GameStandin::setRuleFileDelay(std::chrono::milliseconds delay) {
  {
    std::lock_guard lock(mu_);
    ruleFileDelay_ = delay;
  }
  ruleFileWake_.notify_all();
}

}  // namespace standin
